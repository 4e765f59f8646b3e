// Sync to the frame: where notes land in a recording, measured from the
// engine's own start frames. The engine runs on a driven clock, so every
// position is exact and a late engine can be made on purpose.
#include "engine/Engine.h"
#include "engine/SoundSystem.h"
#include "engine/Synthesiser.h"
#include "media/mci/Mci.h"
#include "support/Sound.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace mci;
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
        engine = audio::SoundSystem::current().acquire();
        std::string error;
        ASSERT_TRUE(engine->ensureSynthesiser(error)) << error;
        templ = dir.path("template.wav");
        test::writeTemplate(templ, {44100, 2, 16});
    }
    void TearDown() override {
        for (MCIDEVICEID id : {sequencer, wave})
            if (id)
                send(id, MCI_CLOSE, MCI_WAIT);
        engine.reset();
    }

    static MCIERROR send(MCIDEVICEID id, unsigned command, DWORD flags) {
        MCI_GENERIC_PARMS p;
        return sendCommand(id, command, flags, &p);
    }
    static MCIDEVICEID open(const char *type, const std::string &element) {
        MCI_OPEN_PARMS p;
        p.lpstrDeviceType = type;
        p.lpstrElementName = element.c_str();
        EXPECT_EQ(sendCommand(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, &p), 0u);
        return p.wDeviceID;
    }

    // The song starts playing at the engine's next period; returns that frame.
    std::int64_t play(const test::Bytes &song, DWORD fromMs = 0) {
        const std::string file = dir.path("song.mid");
        test::writeFile(file, song);
        if (sequencer)
            send(sequencer, MCI_CLOSE, MCI_WAIT);
        sequencer = open("Sequencer", file);
        if (fromMs > 0) {
            MCI_SEEK_PARMS seek;
            seek.dwTo = fromMs;
            EXPECT_EQ(sendCommand(sequencer, MCI_SEEK, MCI_WAIT | MCI_TO, &seek), 0u);
        }
        EXPECT_EQ(send(sequencer, MCI_PLAY, 0), 0u);
        return engine->lastPlayStartFrame;
    }
    // Recording starts at the engine's next period; returns that frame.
    std::int64_t record() {
        wave = open("WaveAudio", templ);
        EXPECT_EQ(send(wave, MCI_RECORD, 0), 0u);
        return engine->lastRecordStartFrame;
    }
    test::WaveData saved() {
        EXPECT_EQ(send(wave, MCI_STOP, MCI_WAIT), 0u);
        MCI_SAVE_PARMS p;
        const std::string file = dir.path("out.wav");
        p.lpfilename = file.c_str();
        EXPECT_EQ(sendCommand(wave, MCI_SAVE, MCI_WAIT | MCI_SAVE_FILE, &p), 0u);
        send(wave, MCI_CLOSE, MCI_WAIT);
        wave = 0;
        return test::readWave(file);
    }
    DWORD positionMs() const {
        MCI_STATUS_PARMS p;
        p.dwItem = MCI_STATUS_POSITION;
        sendCommand(sequencer, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, &p);
        return static_cast<DWORD>(p.dwReturn);
    }

    // Time passes and the engine renders what it has reached.
    void drive(std::int64_t frames) {
        std::lock_guard<std::mutex> guard(engine->lock());
        engine->drive(frames);
    }
    // Time passes while the engine is held up: it renders nothing yet.
    void late(std::int64_t frames) {
        std::lock_guard<std::mutex> guard(engine->lock());
        engine->advanceClock(frames);
    }

    test::TempDir dir;
    std::string templ;
    const test::DrivenSound driven;
    std::shared_ptr<audio::Engine> engine;
    MCIDEVICEID sequencer = 0, wave = 0;
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

TEST_F(DrivenSync, ARecordingStartedWhileTheEngineIsLateKeepsNothingFromBefore) {
    drive(10 * kPeriodFrames);
    const std::int64_t played = play(noteAt(0.5, 1.0));
    // The clock runs on twenty periods while the engine is held up; a
    // recording started now begins where the clock stands.
    late(20 * kPeriodFrames);
    const std::int64_t recorded = record();
    EXPECT_EQ(recorded, played + 20 * kPeriodFrames);
    drive(200 * kPeriodFrames); // the late periods first, then on
    const test::WaveData w = saved();
    EXPECT_EQ(w.frames(), 200 * kPeriodFrames);
    const std::int64_t expected = blockOf(played + framesOf(0.5)) - recorded;
    EXPECT_GE(onset(w), expected);
    EXPECT_LT(onset(w), expected + kBlock);
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
    EXPECT_EQ(send(sequencer, MCI_STOP, MCI_WAIT), 0u);
    // Playback ended at the last period the clock had reached.
    const std::int64_t playedUntil = stopClock / kPeriodFrames * kPeriodFrames;
    EXPECT_NEAR(positionMs(), double(playedUntil - played) * 1000 / kSampleRate, 1.0);

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

TEST_F(DrivenSync, ARecordingToAPositionEndsThereByItselfExactly) {
    for (const audio::WaveFormat format :
         {audio::WaveFormat{44100, 2, 16}, audio::WaveFormat{22050, 1, 16},
          audio::WaveFormat{11025, 2, 8}}) {
        SCOPED_TRACE(format.sampleRate);
        test::writeTemplate(templ, format);
        wave = open("WaveAudio", templ);
        MCI_SET_PARMS set;
        set.dwTimeFormat = MCI_FORMAT_SAMPLES;
        ASSERT_EQ(sendCommand(wave, MCI_SET, MCI_WAIT | MCI_SET_TIME_FORMAT, &set), 0u);
        MCI_RECORD_PARMS to;
        to.dwTo = 12345;
        ASSERT_EQ(sendCommand(wave, MCI_RECORD, MCI_TO, &to), 0u);
        MCI_STATUS_PARMS mode;
        mode.dwItem = MCI_STATUS_MODE;
        int periods = 0;
        for (;; ++periods) {
            sendCommand(wave, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, &mode);
            if (mode.dwReturn != MCI_MODE_RECORD)
                break;
            drive(kPeriodFrames);
        }
        EXPECT_EQ(mode.dwReturn, MCI_MODE_STOP);
        // It took what 12345 frames of the format need from the engine, no more.
        EXPECT_EQ(periods,
                  (12345LL * kSampleRate / format.sampleRate + kPeriodFrames - 1) / kPeriodFrames);
        MCI_STATUS_PARMS position;
        position.dwItem = MCI_STATUS_POSITION;
        sendCommand(wave, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, &position);
        EXPECT_EQ(position.dwReturn, 12345u);
        drive(10 * kPeriodFrames);
        EXPECT_EQ(saved().frames(), 12345);
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
        const test::DrivenSound driven;
        auto engine = audio::SoundSystem::current().acquire();
        std::string error;
        ASSERT_TRUE(engine->ensureSynthesiser(error)) << error;
        const std::int64_t idle = (run == 0 ? 3 : 117) * kPeriodFrames;
        {
            std::lock_guard<std::mutex> guard(engine->lock());
            engine->drive(idle);
        }
        MCI_OPEN_PARMS open;
        open.lpstrDeviceType = "Sequencer";
        open.lpstrElementName = file.c_str();
        ASSERT_EQ(sendCommand(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, &open), 0u);
        {
            std::lock_guard<std::mutex> guard(engine->lock());
            engine->drive(idle);
        }
        Capture capture;
        MCI_PLAY_PARMS play;
        {
            std::lock_guard<std::mutex> guard(engine->lock());
            engine->addSink(&capture);
        }
        ASSERT_EQ(sendCommand(open.wDeviceID, MCI_PLAY, 0, &play), 0u);
        const std::int64_t played = engine->lastPlayStartFrame;
        {
            std::lock_guard<std::mutex> guard(engine->lock());
            engine->drive(framesOf(1.0));
            engine->removeSink(&capture);
        }
        MCI_GENERIC_PARMS close;
        sendCommand(open.wDeviceID, MCI_CLOSE, MCI_WAIT, &close);
        const auto from = capture.samples.begin() + 2 * (played - capture.first);
        heard[run].assign(from, from + 2 * framesOf(0.9));
        engine.reset();
    }
    EXPECT_GT(*std::max_element(heard[0].begin(), heard[0].end()), 0.01f);
    EXPECT_EQ(heard[0], heard[1]);
}
