// TMediaPlayer's command traffic, the one-shot Notify option, the open check,
// the rewind test and the handling of completion notices, seen through the
// MCI trace hook on the real devices.
#include "engine/SoundSystem.h"
#include "media/MPlayer.h"
#include "support/EventLoop.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <memory>

using namespace mci;

namespace {

struct Sent {
    unsigned command;
    DWORD flags;
    DWORD item;
    MCIDEVICEID device;
};

class MediaPlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        song = dir.path("short.mid");
        // A 0.3-second song with one note.
        test::writeFile(song, test::simpleSong({{0.05, 0.25, 64}}, 0.3));
        setTraceHook([this](const TraceEntry &e) {
            sent.push_back({e.command, e.flags, e.item, e.deviceId});
        });
        midi.DeviceType = dtSequencer;
        midi.FileName = song;
        midi.Engine = engine;
        midi.OnNotify = [this](QObject *sender) {
            ++notices;
            EXPECT_EQ(sender, &midi);
        };
    }
    void TearDown() override { setTraceHook({}); }

    // Commands of one kind sent since the last clear.
    std::vector<Sent> of(unsigned command) const {
        std::vector<Sent> out;
        for (const Sent &s : sent)
            if (s.command == command)
                out.push_back(s);
        return out;
    }
    bool waitForNotice(int count, int ms = 3000) {
        return test::waitFor([&] { return notices >= count; }, ms);
    }

    // The engine the devices play on and record from, on the steady clock.
    audio::SoundSystem sound;
    std::shared_ptr<audio::Engine> engine = sound.acquire();
    test::TempDir dir;
    std::string song;
    std::vector<Sent> sent;
    int notices = 0;
    TMediaPlayer midi;
};

} // namespace

TEST_F(MediaPlayerTest, OpenSendsTheOpenAndItsFollowUpQueries) {
    midi.Open();
    ASSERT_GE(sent.size(), 9u);
    EXPECT_EQ(sent[0].command, MCI_OPEN);
    EXPECT_EQ(sent[0].flags, 0x2202u);
    EXPECT_EQ(sent[0].device, 0u);
    const std::vector<std::pair<unsigned, DWORD>> followUp = {
        {MCI_STATUS, MCI_STATUS_LENGTH},
        {MCI_GETDEVCAPS, MCI_GETDEVCAPS_CAN_PLAY},
        {MCI_GETDEVCAPS, MCI_GETDEVCAPS_CAN_RECORD},
        {MCI_GETDEVCAPS, MCI_GETDEVCAPS_CAN_EJECT},
        {MCI_GETDEVCAPS, MCI_GETDEVCAPS_HAS_VIDEO},
        {MCI_GETDEVCAPS, MCI_GETDEVCAPS_DEVICE_TYPE},
        {MCI_WHERE, 0},
        {MCI_STATUS, MCI_STATUS_MODE},
    };
    for (std::size_t i = 0; i < followUp.size(); ++i) {
        EXPECT_EQ(sent[i + 1].command, followUp[i].first) << i;
        EXPECT_EQ(sent[i + 1].item, followUp[i].second) << i;
        EXPECT_EQ(sent[i + 1].device, midi.DeviceID()) << i;
    }
    EXPECT_EQ(sent[7].flags, 0x20002u);
    EXPECT_NE(midi.DeviceID(), 0);
    // After Open, Error holds the last query's result: the mode query succeeds.
    EXPECT_EQ(midi.Error(), 0);
    EXPECT_EQ(midi.Length(), 300);
    EXPECT_EQ(midi.Mode(), mpStopped);
}

TEST_F(MediaPlayerTest, NotifyOptionIsConsumedByTheNextCommandOnly) {
    midi.Open();
    sent.clear();
    midi.setNotify(true);
    midi.Play();
    EXPECT_EQ(of(MCI_PLAY).at(0).flags, MCI_NOTIFY);
    ASSERT_TRUE(waitForNotice(1));
    EXPECT_EQ(midi.NotifyValue(), nvSuccessful);

    // Queries neither read nor disarm the option: Play takes the false.
    sent.clear();
    midi.setNotify(false);
    midi.Position();
    midi.Length();
    midi.Play();
    EXPECT_EQ(of(MCI_SEEK).size(), 1u); // at the end: the rewind test seeks first
    EXPECT_EQ(of(MCI_PLAY).at(0).flags, 0u);
    test::spin(800);
    EXPECT_EQ(notices, 1); // a play without notify earns none
    EXPECT_EQ(midi.Position(), midi.Length());

    // Notify := false before Close changes nothing: MCI_WAIT alone.
    midi.setNotify(false);
    midi.Close();
    EXPECT_EQ(of(MCI_CLOSE).at(0).flags, MCI_WAIT);

    // Notify := true on a waited command earns a notice too.
    midi.Open();
    midi.setNotify(true);
    midi.Stop();
    EXPECT_EQ(of(MCI_STOP).back().flags, MCI_WAIT | MCI_NOTIFY);
    ASSERT_TRUE(waitForNotice(2));
    EXPECT_EQ(midi.NotifyValue(), nvSuccessful);
}

TEST_F(MediaPlayerTest, StopAbortsAPendingPlayOnce) {
    midi.FileName = dir.path("long.mid");
    test::writeFile(midi.FileName, test::simpleSong({{0.1, 4.0, 60}}, 5.0));
    midi.Open();
    midi.Play();
    test::spin(200);
    EXPECT_EQ(midi.Mode(), mpPlaying);
    const int at = midi.Position();
    EXPECT_GT(at, 0);
    EXPECT_LT(at, 5000);
    midi.Stop();
    ASSERT_TRUE(waitForNotice(1));
    EXPECT_EQ(midi.NotifyValue(), nvAborted);
    EXPECT_EQ(midi.Mode(), mpStopped);

    // Stop on a device that has stopped is still sent, and earns nothing.
    sent.clear();
    midi.Stop();
    EXPECT_EQ(of(MCI_STOP).size(), 1u);
    EXPECT_EQ(of(MCI_STOP)[0].flags, MCI_WAIT);
    test::spin(300);
    EXPECT_EQ(notices, 1);
    // The notice's handling asked for the mode, as AutoEnable is on.
    midi.Close();
}

TEST_F(MediaPlayerTest, TheOpenCheckRaisesAndSendsNothing) {
    midi.setNotify(true);
    for (auto op : std::vector<std::function<void()>>{
             [&] { midi.Play(); }, [&] { midi.StartRecording(); }, [&] { midi.Stop(); },
             [&] { midi.Save(); }, [&] { midi.Length(); }}) {
        try {
            op();
            ADD_FAILURE() << "no error raised";
        } catch (const EMCIDeviceError &e) {
            EXPECT_EQ(e.Message(), "MCI デバイスがありません");
        }
    }
    EXPECT_TRUE(sent.empty());
    // The option stayed armed through the refusals: Open consumes it.
    midi.Open();
    EXPECT_EQ(of(MCI_OPEN).at(0).flags, 0x2203u);
    midi.Play();
    EXPECT_EQ(of(MCI_PLAY).at(0).flags, MCI_NOTIFY);

    // A second Close sends nothing; Position after Close goes to device 0.
    midi.Close();
    sent.clear();
    midi.Close();
    EXPECT_TRUE(sent.empty());
    EXPECT_NO_THROW(midi.Position());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].device, 0u);
    EXPECT_EQ(midi.Error(), int(MCIERR_INVALID_DEVICE_ID));
}

TEST_F(MediaPlayerTest, AFailedOpenRaisesTheDevicesTextAndStaysClosed) {
    const std::string bad = dir.path("bad.mid");
    test::writeFile(bad, {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96});
    midi.FileName = bad;
    try {
        midi.Open();
        ADD_FAILURE() << "no error raised";
    } catch (const EMCIDeviceError &e) {
        EXPECT_NE(e.Message().find(bad), std::string::npos) << e.Message();
        EXPECT_NE(e.Message().find("holds 0"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(midi.DeviceID(), 0);
    EXPECT_FALSE(midi.IsOpen());
    EXPECT_NE(midi.Error(), 0);
    EXPECT_EQ(midi.FileName, bad);

    // An open controller that fails to reopen has closed its old device first.
    midi.FileName = song;
    midi.Open();
    midi.FileName = dir.root();
    EXPECT_THROW(midi.Open(), EMCIDeviceError);
    EXPECT_FALSE(midi.IsOpen());
}

TEST_F(MediaPlayerTest, SaveWithNoFileNameSendsNothing) {
    TMediaPlayer wave;
    wave.DeviceType = dtWaveAudio;
    wave.FileName = dir.path("t.wav");
    test::writeTemplate(wave.FileName, {22050, 1, 16});
    wave.Open();
    const int error = wave.Error();
    wave.FileName.clear();
    sent.clear();
    wave.Save();
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(wave.Error(), error);
}

TEST_F(MediaPlayerTest, LateNoticeToAClosedControllerIsHandledHarmlessly) {
    TMediaPlayer wave;
    wave.DeviceType = dtWaveAudio;
    wave.FileName = dir.path("t.wav");
    test::writeTemplate(wave.FileName, {11025, 1, 8});
    wave.Engine = engine;
    wave.Open();
    wave.StartRecording();
    wave.Stop(); // the recording's notice: aborted
    wave.Close();
    sent.clear();
    ASSERT_TRUE(test::waitFor([&] { return !sent.empty(); }, 2000));
    EXPECT_EQ(wave.NotifyValue(), nvAborted);
    ASSERT_EQ(sent.size(), 1u); // the mode query, to no device
    EXPECT_EQ(sent[0].command, MCI_STATUS);
    EXPECT_EQ(wave.Error(), int(MCIERR_INVALID_DEVICE_ID));
}

TEST_F(MediaPlayerTest, DestructionClosesAnOpenDeviceWithoutSaving) {
    auto wave = std::make_unique<TMediaPlayer>();
    wave->DeviceType = dtWaveAudio;
    wave->FileName = dir.path("t.wav");
    test::writeTemplate(wave->FileName, {22050, 2, 16});
    wave->Engine = engine;
    wave->Open();
    wave->StartRecording();
    sent.clear();
    wave.reset();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].command, MCI_CLOSE);
    EXPECT_EQ(sent[0].flags, MCI_WAIT);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"short.mid", "t.wav"}));
    EXPECT_EQ(test::readWave(dir.path("t.wav")).frames(), 0);
}

TEST_F(MediaPlayerTest, ANewRecordingTakesItsFormatAndARecordSentAgainMovesItsEnd) {
    // Opened on no file, in the format it is given, counting in frames;
    // recorded without a notice, then sent again with an end: the
    // recording stops there by itself and says so once.
    TMediaPlayer wave;
    wave.DeviceType = dtWaveAudio;
    wave.Engine = engine;
    wave.OnNotify = [&](QObject *) { ++notices; };
    wave.Open();
    wave.setTimeFormat(tfSamples);
    const audio::WaveFormat format{22050, 1, 24};
    wave.setWaveFormat(format);
    ASSERT_EQ(wave.Error(), 0) << wave.ErrorText();
    EXPECT_EQ(wave.WaveFormat(), format);
    wave.setNotify(false);
    wave.StartRecording();
    wave.setEndPos(2205);
    wave.StartRecording();
    ASSERT_TRUE(waitForNotice(1));
    EXPECT_EQ(wave.NotifyValue(), nvSuccessful);
    EXPECT_EQ(wave.Mode(), mpStopped);
    wave.FileName = dir.path("new.wav");
    wave.Save();
    wave.Close();
    const test::WaveData w = test::readWave(dir.path("new.wav"));
    EXPECT_EQ(w.format, format);
    EXPECT_EQ(w.frames(), 2205);
    test::spin(100);
    EXPECT_EQ(notices, 1);
    // A format no recording can be made in is refused by its text.
    wave.FileName.clear();
    wave.Open();
    wave.setWaveFormat({22050, 3, 16});
    EXPECT_NE(wave.Error(), 0);
    wave.Close();
}

TEST(ErrorTexts, ALaterErrorNeverChangesTheTextOfAnEarlierOne) {
    // A batch that meets a thousand bad files still reports the first one
    // by its own text.
    const MCIERROR first = makeCustomError("\"a.mid\" is not a Standard MIDI File.");
    for (int i = 0; i < 1000; ++i)
        makeCustomError("\"b" + std::to_string(i) + ".mid\" is not a Standard MIDI File.");
    char text[128];
    ASSERT_TRUE(getErrorString(first, text, sizeof text));
    EXPECT_STREQ(text, "\"a.mid\" is not a Standard MIDI File.");
}
