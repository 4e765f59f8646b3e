// A devices.ini that names a SoundFont that is not there: the sequencer
// refuses to open and says which file is missing and where it was named.
#include "engine/SoundSystem.h"
#include "media/MPlayer.h"
#include "platform/Paths.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

TEST(NoSoundFont, TheSequencerRefusesToOpenAndSaysWhy) {
    test::TempDir dir;
    audio::SoundSystem sound; // on the devices.ini beside this test program
    TMediaPlayer midi;
    midi.DeviceType = dtSequencer;
    midi.Engine = sound.acquire();
    midi.FileName = dir.path("song.mid");
    test::writeFile(midi.FileName, test::simpleSong({{0.0, 0.1, 60}}, 0.2));
    try {
        midi.Open();
        ADD_FAILURE() << "opened without a SoundFont";
    } catch (const EMCIDeviceError &e) {
        EXPECT_NE(e.Message().find("/nowhere/missing.sf2"), std::string::npos) << e.Message();
        EXPECT_NE(e.Message().find(paths::devicesFile()), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(midi.IsOpen());
}
