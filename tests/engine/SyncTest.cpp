// Sync to the frame: where notes land in a recording, measured from the
// engine's own start frames. The engine runs on a driven clock, so every
// position is exact and a late engine can be made on purpose.
#include "engine/ClockFollower.h"
#include "engine/Engine.h"
#include "engine/SequencerDevice.h"
#include "engine/Synthesiser.h"
#include "engine/WaveAudioDevice.h"
#include "support/Engines.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

using audio::kPeriodFrames;
using audio::kSampleRate;
using test::TrackWriter;

namespace {

constexpr std::int64_t kBlock = audio::Synthesiser::kBlockFrames;

std::int64_t framesOf(double seconds) {
    return static_cast<std::int64_t>(std::llround(seconds * 1e6)) * kSampleRate / 1000000;
}

std::int64_t blockOf(std::int64_t frame) {
    return frame / kBlock * kBlock;
}

// The first frame at which either channel leaves silence (16-bit dither
// stays within one step of it).
std::int64_t onset(const test::WaveData &w, std::int64_t from = 0) {
    for (std::int64_t i = from; i < w.frames(); ++i)
        for (int c = 0; c < w.format.channels; ++c)
            if (std::fabs(w.samples[std::size_t(i * w.format.channels + c)]) > 4.0 / 32768)
                return i;
    return -1;
}

// Takes every period as the engine renders it, as floats.
class Capture : public audio::EngineSink {
public:
    void period(std::int64_t start, const float *frames) override {
        if (first < 0)
            first = start;
        samples.insert(samples.end(), frames, frames + kPeriodFrames * audio::kChannels);
    }
    // The first frame at or after `from` (an engine frame) that is not silent.
    std::int64_t onset(std::int64_t from) const {
        for (std::size_t i = std::size_t(std::max<std::int64_t>(0, from - first)) * 2;
             i < samples.size(); ++i)
            if (std::fabs(samples[i]) > 1e-5f)
                return first + std::int64_t(i / 2);
        return -1;
    }
    std::int64_t first = -1;
    std::vector<float> samples;
};

class DrivenSync : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(engine->ensureSynthesiser(error)) << error;
    }

    // The song starts playing at the engine's next period; returns that frame.
    std::int64_t play(const test::Bytes &song, std::int64_t fromMs = 0) {
        const std::string file = dir.path("song.mid");
        test::writeFile(file, song);
        std::string error;
        EXPECT_TRUE(sequencer.open(file, error)) << error;
        if (fromMs > 0)
            sequencer.seekTo(fromMs * 1000);
        sequencer.play({});
        return engine->lastPlayStartFrame;
    }
    // Recording starts at the engine's next period; returns that frame.
    std::int64_t record(const audio::WaveFormat &format = {}, std::function<void()> ended = {}) {
        std::string error;
        EXPECT_TRUE(wave.create(format, error)) << error;
        EXPECT_TRUE(wave.record({}, std::move(ended), error)) << error;
        return engine->lastRecordStartFrame;
    }
    test::WaveData saved() {
        wave.stop();
        const std::string file = dir.path("out.wav");
        std::string error;
        EXPECT_TRUE(wave.save(file, error)) << error;
        wave.close();
        return test::readWave(file);
    }

    // Time passes and the engine renders what it has reached.
    void drive(std::int64_t frames) { test::drive(*engine, frames); }
    // Time passes while the engine is held up: it renders nothing yet.
    void late(std::int64_t frames) {
        std::lock_guard<std::mutex> guard(engine->lock());
        engine->advanceClock(frames);
    }

    test::TempDir dir;
    std::shared_ptr<audio::Engine> engine = test::drivenEngine();
    audio::SequencerDevice sequencer{engine};
    audio::WaveAudioDevice wave{engine};
};

test::Bytes noteAt(double seconds, double endSeconds) {
    return test::simpleSong({{seconds, seconds + 0.1, 69}}, endSeconds, test::kSquareLead);
}

} // namespace

TEST_F(DrivenSync, ANoteBeginsInTheBlockThatHoldsItsFrame) {
    // Times that fall at the start, the middle and the end of a block.
    for (const double at : {0.25, 0.3125, 0.4321, 0.5007}) {
        SCOPED_TRACE(at);
        drive(3 * kPeriodFrames);
        const std::int64_t played = play(noteAt(at, 0.8));
        const std::int64_t recorded = record();
        drive(framesOf(0.9));
        const test::WaveData w = saved();
        const std::int64_t expected = blockOf(played + framesOf(at)) - recorded;
        const std::int64_t heard = onset(w);
        EXPECT_GE(heard, expected);
        EXPECT_LT(heard, expected + kBlock);
    }
}

TEST(RecordingStart, ARecordingTakesItsSongFromTheFirstFrameWhereverItsCommandLands) {
    // A note as the song opens and one later. Between the play and the
    // record commands the engine is held up (the clock runs on, nothing
    // is rendered) or renders on. Within the second the engine keeps, the
    // recording holds exactly what one started with the song holds; a song
    // begun longer ago, or stopped, gives a recording from where the
    // clock stands, with nothing from before.
    struct Case {
        const char *name;
        std::int64_t rendered, late;
        bool stopped, fromSong;
    };
    const Case cases[] = {
        {"with the song", 0, 0, false, true},
        {"held up", 0, 20 * kPeriodFrames, false, true},
        {"rendering on", 20 * kPeriodFrames, 0, false, true},
        {"both", 100 * kPeriodFrames, 50 * kPeriodFrames, false, true},
        {"begun longer ago than the engine keeps", 210 * kPeriodFrames, 0, false, false},
        {"stopped", 20 * kPeriodFrames, 10 * kPeriodFrames, true, false},
    };
    test::TempDir dir;
    const std::string song = dir.path("song.mid");
    test::writeFile(song,
                    test::simpleSong({{0.0, 0.3, 60}, {1.5, 1.8, 67}}, 2.0, test::kSquareLead));
    const std::int64_t end = 380 * kPeriodFrames; // 2.2 s from the song's start
    test::WaveData reference;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // An engine of its own each time: the same song sounds the same.
        auto engine = test::drivenEngine();
        audio::SequencerDevice sequencer(engine);
        audio::WaveAudioDevice wave(engine);
        std::string error;
        ASSERT_TRUE(sequencer.open(song, error)) << error;
        test::drive(*engine, 3 * kPeriodFrames);
        sequencer.play({});
        const std::int64_t played = engine->lastPlayStartFrame;
        test::drive(*engine, c.rendered);
        {
            std::lock_guard<std::mutex> guard(engine->lock());
            engine->advanceClock(c.late);
        }
        if (c.stopped)
            sequencer.stop();
        ASSERT_TRUE(wave.create({}, error)) << error;
        ASSERT_TRUE(wave.record({}, {}, error)) << error;
        const std::int64_t recorded = engine->lastRecordStartFrame;
        EXPECT_EQ(recorded, c.fromSong ? played : played + c.rendered + c.late);
        test::drive(*engine, end - c.rendered - c.late);
        wave.stop();
        ASSERT_TRUE(wave.save(dir.path("out.wav"), error)) << error;
        const test::WaveData w = test::readWave(dir.path("out.wav"));
        EXPECT_EQ(w.frames(), played + end - recorded);
        if (c.fromSong) {
            if (reference.samples.empty())
                reference = w;
            EXPECT_EQ(w.samples, reference.samples);
        } else if (!c.stopped) {
            const std::int64_t second = blockOf(played + framesOf(1.5)) - recorded;
            EXPECT_GE(onset(w), second);
            EXPECT_LT(onset(w), second + kBlock);
        }
    }
    // The song's opening note is in the recording, in its first block.
    EXPECT_GE(onset(reference), 0);
    EXPECT_LT(onset(reference), kBlock);
}

TEST_F(DrivenSync, StopsLandWhereTheClockStandsNotWhereTheEngineRendered) {
    // Notes at 0.3 s and 0.6 s; the engine is held up from 0.5 s to 0.8 s,
    // and the sequencer is stopped then.
    TrackWriter t;
    t.delta(0).tempo(500000).delta(0).program(0, test::kSquareLead);
    t.delta(288).noteOn(0, 60, 120).delta(96).noteOff(0, 60);
    t.delta(192).noteOn(0, 67, 120).delta(96).noteOff(0, 67).delta(1248).end();
    const std::int64_t played = play(test::midiFile(0, 480, {t.bytes()}));
    const std::int64_t recorded = record();
    ASSERT_EQ(recorded, played);
    drive(framesOf(0.5));
    late(framesOf(0.3));
    const std::int64_t stopClock = played + framesOf(0.8);
    sequencer.stop();
    // Playback ended at the last period the clock had reached.
    const std::int64_t playedUntil = stopClock / kPeriodFrames * kPeriodFrames;
    EXPECT_EQ(sequencer.endFrame(), playedUntil);
    EXPECT_NEAR(double(sequencer.positionUs()) / 1000,
                double(playedUntil - played) * 1000 / kSampleRate, 1.0);

    drive(framesOf(0.3));
    late(kPeriodFrames * 3 + 100);
    const std::int64_t recordClock = stopClock + framesOf(0.3) + kPeriodFrames * 3 + 100;
    const test::WaveData w = saved();
    // The recording ended at the last period the clock had reached.
    EXPECT_EQ(w.frames(), recordClock / kPeriodFrames * kPeriodFrames - recorded);
    // The second note, due while the engine was held up, was played.
    const std::int64_t second = blockOf(played + framesOf(0.6)) - recorded;
    EXPECT_GT(w.rms(double(second) / kSampleRate, double(second) / kSampleRate + 0.05), 0.01);
    EXPECT_LT(w.rms(double(second - 2000) / kSampleRate, double(second - 10) / kSampleRate),
              w.rms(double(second) / kSampleRate, double(second) / kSampleRate + 0.05) / 10);
}

TEST_F(DrivenSync, AStartFromAPositionSoundsAsThePlayFromTheBeginning) {
    // Volume, program and pitch bend set at the start; one note at 1 s.
    TrackWriter t;
    t.delta(0).tempo(500000);
    t.delta(0).raw({0xB0, 7, 40}).delta(0).program(0, 73).delta(0).raw({0xE0, 0x00, 0x58});
    t.delta(960).noteOn(0, 69, 110).delta(288).noteOff(0, 69).delta(192).end();
    const test::Bytes song = test::midiFile(0, 480, {t.bytes()});

    std::vector<float> heard[2];
    for (int run = 0; run < 2; ++run) {
        drive(framesOf(4.0)); // the reverb of what sounded before dies away
        Capture capture;
        {
            std::lock_guard<std::mutex> guard(engine->lock());
            engine->addSink(&capture);
        }
        // Each open resets the synthesiser; the second run starts at 0.5 s.
        const std::int64_t played = play(song, run == 0 ? 0 : 500);
        drive(framesOf(run == 0 ? 1.5 : 1.0));
        {
            std::lock_guard<std::mutex> guard(engine->lock());
            engine->removeSink(&capture);
        }
        // Nothing sounds before the note (a flute speaks softly at first).
        const std::int64_t note = blockOf(played + framesOf(run == 0 ? 1.0 : 0.5));
        ASSERT_GE(capture.onset(played), note);
        const auto at = std::size_t(note - capture.first) * 2;
        heard[run].assign(capture.samples.begin() + std::ptrdiff_t(at),
                          capture.samples.begin() + std::ptrdiff_t(at + 2 * framesOf(0.4)));
    }
    double difference = 0, level = 0;
    for (std::size_t i = 0; i < heard[0].size(); ++i) {
        difference += std::pow(heard[0][i] - heard[1][i], 2);
        level += std::pow(heard[0][i], 2);
    }
    EXPECT_GT(level, 0);
    EXPECT_LT(difference, level * 1e-4);
}

TEST_F(DrivenSync, OpeningTheSequencerSilencesWhatStillSounds) {
    // The song ends with its note still held (no note-off).
    TrackWriter t;
    t.delta(0).tempo(500000).delta(0).program(0, 73).delta(0).noteOn(0, 69, 120);
    t.delta(480).end();
    play(test::midiFile(0, 480, {t.bytes()}));
    drive(framesOf(1.0));
    Capture capture;
    {
        std::lock_guard<std::mutex> guard(engine->lock());
        engine->addSink(&capture);
    }
    drive(framesOf(0.1));
    const std::int64_t reopened = play(noteAt(5.0, 6.0)); // a note far later
    drive(framesOf(0.4));
    {
        std::lock_guard<std::mutex> guard(engine->lock());
        engine->removeSink(&capture);
    }
    auto level = [&](std::int64_t from, std::int64_t to) { // the peak
        float peak = 0;
        for (auto i = std::size_t(2 * (from - capture.first));
             i < std::size_t(2 * (to - capture.first)) && i < capture.samples.size(); ++i)
            peak = std::max(peak, std::fabs(capture.samples[i]));
        return peak;
    };
    const float held = level(capture.first, reopened);
    EXPECT_GT(held, 0.01);
    // Only the reverb's tail is left of it: far below the held note.
    EXPECT_LT(level(reopened + framesOf(0.05), reopened + framesOf(0.3)), held / 10);
}

TEST_F(DrivenSync, ARecordingEndsByItselfExactlyWhereItIsToldEvenWhileItRuns) {
    // An end given before the recording has got there, and one given later
    // counted from an engine frame; the recording tells of its end once.
    for (const audio::WaveFormat format :
         {audio::WaveFormat{44100, 2, 16}, audio::WaveFormat{22050, 1, 16},
          audio::WaveFormat{11025, 2, 8}}) {
        SCOPED_TRACE(format.sampleRate);
        int ended = 0;
        record(format, [&] { ++ended; });
        wave.endAfter(12345);
        int periods = 0;
        for (; wave.recording(); ++periods)
            drive(kPeriodFrames);
        // It took what 12345 frames of the format need from the engine, no more.
        EXPECT_EQ(periods,
                  (12345LL * kSampleRate / format.sampleRate + kPeriodFrames - 1) / kPeriodFrames);
        EXPECT_EQ(wave.positionFrames(), 12345);
        drive(10 * kPeriodFrames);
        EXPECT_EQ(saved().frames(), 12345);
        EXPECT_EQ(ended, 1);

        // Ended a second past an engine frame reached while it records.
        record(format);
        drive(20 * kPeriodFrames);
        const std::int64_t at = engine->lastRecordStartFrame + 5000;
        wave.endAt(at, format.sampleRate);
        while (wave.recording())
            drive(kPeriodFrames);
        EXPECT_EQ(saved().frames(),
                  (5000LL * format.sampleRate + kSampleRate - 1) / kSampleRate + format.sampleRate);
    }
}

TEST(Synthesiser, ASongSoundsTheSameHoweverLongTheEngineIdledBeforeIt) {
    // Strings: their chorus and the reverb's modulation run on in silence,
    // so a synthesiser that rendered before the song would sound otherwise.
    test::TempDir dir;
    const std::string file = dir.path("s.mid");
    test::writeFile(file, test::simpleSong({{0.1, 0.5, 60}, {0.3, 0.9, 64}}, 1.0, 48));
    std::vector<float> heard[2];
    for (int run = 0; run < 2; ++run) {
        auto engine = test::drivenEngine();
        std::string error;
        ASSERT_TRUE(engine->ensureSynthesiser(error)) << error;
        const std::int64_t idle = (run == 0 ? 3 : 117) * kPeriodFrames;
        test::drive(*engine, idle);
        audio::SequencerDevice sequencer(engine);
        ASSERT_TRUE(sequencer.open(file, error)) << error;
        test::drive(*engine, idle);
        Capture capture;
        {
            std::lock_guard<std::mutex> guard(engine->lock());
            engine->addSink(&capture);
        }
        sequencer.play({});
        const std::int64_t played = engine->lastPlayStartFrame;
        {
            std::lock_guard<std::mutex> guard(engine->lock());
            engine->drive(framesOf(1.0));
            engine->removeSink(&capture);
        }
        sequencer.close();
        const auto from = capture.samples.begin() + 2 * (played - capture.first);
        heard[run].assign(from, from + 2 * framesOf(0.9));
    }
    EXPECT_GT(*std::max_element(heard[0].begin(), heard[0].end()), 0.01f);
    EXPECT_EQ(heard[0], heard[1]);
}

TEST(ClockFollower, AnInputOffTheComputersClockIsRecordedWholeAndInPlaceForTenMinutes) {
    // A sound card's clock off the steady one by `ppm`, its frames arriving
    // in 256-frame fragments up to 5 ms late; the engine's steady clock runs
    // at the pace the follower asks for. Every frame must be placed one
    // after the other (the origin never moves once placed) within 2 ms of
    // where the engine's clock stood when the input heard it: the MIDI sent
    // at that frame sounds there.
    for (const double ppm : {-200.0, -40.0, 0.0, 150.0}) {
        SCOPED_TRACE(ppm);
        std::mt19937 random(7);
        std::uniform_real_distribution<double> late(0, 0.005);
        const double inputRate = kSampleRate * (1 + ppm * 1e-6);
        audio::ClockFollower follower;
        double time = 0, engineFrame = 0, pace = 1; // the engine's clock at `time`
        auto engineAt = [&](double when) {
            return engineFrame + (when - time) * kSampleRate * pace;
        };
        std::int64_t placedAt = 0;
        double worst = 0, worstLater = 0, lastHalf[2] = {0, 0}; // the engine's frame, and when
        for (std::int64_t heard = 0; heard < std::int64_t(inputRate * 600); heard += 256) {
            const double heardAt = double(heard) / inputRate; // its first frame
            if (heard >= kSampleRate) {
                if (placedAt == 0)
                    placedAt = follower.origin();
                ASSERT_EQ(follower.origin(), placedAt) << heard;
                const double off = std::fabs(double(follower.origin() + heard) - engineAt(heardAt));
                worst = std::max(worst, off);
                if (heard > 60 * kSampleRate)
                    worstLater = std::max(worstLater, off);
            }
            if (heard == 300 * kSampleRate / 256 * 256) {
                lastHalf[0] = engineFrame;
                lastHalf[1] = time;
            }
            const double arrives = double(heard + 256) / inputRate + late(random);
            engineFrame = engineAt(arrives);
            time = arrives;
            follower.arrived(std::int64_t(engineFrame) - heard - 256, heard);
            if (follower.paceChanged())
                pace = follower.pace();
        }
        EXPECT_LT(worst, 88);      // 2 ms
        EXPECT_LT(worstLater, 22); // 0.5 ms once settled
        // The drift a report gives: the engine's frames against the
        // computer's clock over the song's last five minutes.
        const double drift = (engineFrame - lastHalf[0]) / ((time - lastHalf[1]) * kSampleRate) - 1;
        EXPECT_NEAR(drift * 1e6, ppm, 1);
    }
}
