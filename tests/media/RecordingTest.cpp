// A recording end to end through two TMediaPlayers, driven as the program
// drives them, read back from the saved WAVE file; and saves that fail.
#include "engine/Engine.h"
#include "engine/SoundSystem.h"
#include "media/MPlayer.h"
#include "support/EventLoop.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <cmath>

namespace {

class RecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        midi.DeviceType = dtSequencer;
        wave.DeviceType = dtWaveAudio;
        midi.Engine = wave.Engine = engine;
        midi.OnNotify = [this](QObject *) { ++notices; };
    }

    // The output file made from the template: open it, save it under the
    // output name, close.
    void prepareOutput(const std::string &templ, const std::string &output) {
        wave.FileName = templ;
        wave.Open();
        wave.FileName = output;
        wave.Save();
        wave.Close();
        wave.FileName = output;
    }
    void start(const std::string &song) {
        midi.FileName = song;
        midi.Open();
        midi.setNotify(true);
        midi.Play();
        wave.Open();
        wave.StartRecording();
    }
    void finish() {
        wave.Stop();
        wave.Save();
        wave.Close();
    }

    // The engine both play on, by the steady clock.
    audio::SoundSystem sound;
    std::shared_ptr<audio::Engine> engine = sound.acquire();
    test::TempDir dir;
    TMediaPlayer midi, wave;
    int notices = 0;
};

} // namespace

TEST_F(RecordingTest, RecordsThePlaybackIntoTheTemplatesFormat) {
    const std::string templ = dir.path("KWQF0004.wav");
    const std::string song = dir.path("song.mid");
    const std::string output = dir.path("song.wav");
    test::writeTemplate(templ, {22050, 1, 16});
    test::writeFile(song, test::simpleSong({{0.5, 1.0, 60}, {1.5, 2.0, 67}}, 2.2));

    prepareOutput(templ, output);
    ASSERT_EQ(test::readWave(output).frames(), 0); // the template's copy, with its format

    start(song);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(test::waitFor([&] { return notices == 1; }, 10000));
    EXPECT_EQ(midi.NotifyValue(), nvSuccessful);
    midi.setNotify(false);
    midi.Close();
    const double recordedSeconds =
        double(engine->framesRendered() - engine->lastRecordStartFrame) / audio::kSampleRate;
    finish();
    EXPECT_GE(clock.elapsed(), 2000);

    const test::WaveData w = test::readWave(output);
    EXPECT_EQ(w.format, (audio::WaveFormat{22050, 1, 16}));
    const double seconds = double(w.frames()) / 22050;
    // The recording holds the song from its first frame to its end.
    EXPECT_EQ(engine->lastRecordStartFrame, engine->lastPlayStartFrame);
    EXPECT_GE(seconds, 2.2);
    EXPECT_NEAR(seconds, recordedSeconds, 0.05);
    // Silence before the first note, sound where the notes are.
    EXPECT_LT(w.rms(0.0, 0.45), 0.001);
    EXPECT_GT(w.rms(0.55, 0.95), 0.003);
    EXPECT_GT(w.rms(1.55, 1.95), 0.003);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"KWQF0004.wav", "song.mid", "song.wav"}));
}

TEST_F(RecordingTest, AFailedSaveLeavesNoFileAndKeepsTheRecording) {
    const std::string templ = dir.path("t.wav");
    const std::string song = dir.path("song.mid");
    test::writeTemplate(templ, {11025, 2, 8});
    test::writeFile(song, test::simpleSong({{0.0, 0.4, 72}}, 0.5));

    wave.FileName = templ;
    start(song);
    ASSERT_TRUE(test::waitFor([&] { return notices == 1; }, 5000));
    wave.Stop();
    const int length = wave.Length();
    // The whole song.
    EXPECT_GE(length, 500);

    // The folder is gone: the save fails, says so in Error, and writes nothing.
    wave.FileName = dir.path("missing/out.wav");
    wave.Save();
    EXPECT_NE(wave.Error(), 0);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"song.mid", "t.wav"}));

    // The content is still there: a save to a good place writes all of it.
    wave.FileName = dir.path("out.wav");
    wave.Save();
    EXPECT_EQ(wave.Error(), 0);
    wave.Close();
    const test::WaveData w = test::readWave(dir.path("out.wav"));
    EXPECT_EQ(w.format, (audio::WaveFormat{11025, 2, 8}));
    EXPECT_NEAR(double(w.frames()) / 11025 * 1000, length, 2);
    EXPECT_GT(w.rms(0.1, 0.35), 0.003);
    // The template itself is untouched.
    EXPECT_EQ(test::readWave(templ).frames(), 0);
}

TEST_F(RecordingTest, OnTheRealClockTheRecordingStartsOnTheSongsFirstFrame) {
    // However long the record command comes after the play command (a
    // busy machine, a slow disk), the recording begins on the song's first
    // frame, and its first note lands in the file in the block that holds
    // its own frame.
    const std::string templ = dir.path("KWQF0000.wav");
    const std::string song = dir.path("song.mid");
    const std::string output = dir.path("song.wav");
    test::writeTemplate(templ, {44100, 2, 16});
    test::writeFile(song, test::simpleSong({{0.4321, 0.6, 69}}, 0.8, test::kSquareLead));
    for (const std::int64_t heldUp : {std::int64_t(0), std::int64_t(40 * audio::kPeriodFrames)}) {
        SCOPED_TRACE(heldUp);
        notices = 0;
        prepareOutput(templ, output);
        midi.FileName = song;
        midi.Open();
        midi.setNotify(true);
        midi.Play();
        // Held up until the engine has played that much of the song.
        ASSERT_TRUE(test::waitFor(
            [&] { return engine->framesRendered() >= engine->lastPlayStartFrame + heldUp; },
            10000));
        wave.Open();
        wave.StartRecording();
        EXPECT_EQ(engine->lastRecordStartFrame, engine->lastPlayStartFrame);
        ASSERT_TRUE(test::waitFor([&] { return notices == 1; }, 10000));
        midi.Close();
        finish();
        const test::WaveData w = test::readWave(output);
        // The note stands at tick 415 (960 a second): 432292 microseconds.
        const std::int64_t expected = 432292LL * 44100 / 1000000 / 64 * 64;
        std::int64_t heard = -1;
        for (std::int64_t i = 0; i < w.frames() && heard < 0; ++i)
            if (std::fabs(w.samples[std::size_t(2 * i)]) > 4.0 / 32768 ||
                std::fabs(w.samples[std::size_t(2 * i + 1)]) > 4.0 / 32768)
                heard = i;
        EXPECT_GE(heard, expected);
        EXPECT_LT(heard, expected + 64);
    }
}
