// The engine's frame clock: after a stall it renders what it missed at once,
// so that the frames delivered keep up with the time that passed. The sound
// system's engine while something holds it; devices.ini's synthesiser keys.
#include "engine/Engine.h"
#include "engine/SoundSystem.h"
#include "engine/Synthesiser.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

TEST(Engine, CatchesUpAfterAStall) {
    audio::SoundSystem sound;
    auto engine = sound.acquire();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
        // Hold the engine still for a third of a second.
        std::lock_guard<std::mutex> guard(engine->lock());
        std::this_thread::sleep_for(std::chrono::milliseconds(330));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rendered = double(engine->framesRendered()) / audio::kSampleRate;
    // Behind by no more than one batch of periods (about 93 ms) and a margin
    // for a loaded machine: far less than the stall, which was made up.
    EXPECT_GT(rendered, elapsed - 0.15);
    EXPECT_LE(rendered, elapsed + 0.01);
}

TEST(Engine, ASoundSystemHasOneWhileHeldAndStopsItWhenNothingDoes) {
    audio::SoundSystem sound;
    auto a = sound.acquire();
    auto b = sound.acquire();
    EXPECT_EQ(a.get(), b.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    a.reset();
    b.reset();
    // Once nobody holds it, the engine stops; the next one counts from zero.
    auto c = sound.acquire();
    EXPECT_LT(c->framesRendered(), 2 * audio::kPeriodFrames);
}

TEST(Engine, ASoundFontThatIsNoRegularFileIsNamedForWhatItIs) {
    const std::string fifo = "/tmp/kestrune-test-soundfont-" + std::to_string(::getpid());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/zero", "is not a regular file"},
        {fifo, "is not a regular file"},
        {"/usr/share", "is a folder, not a regular file"},
        {"/nowhere/at/all.sf2", "does not exist"}};
    for (const auto &[file, what] : cases) {
        audio::EngineSettings settings;
        settings.clock = audio::Engine::Clock::Driven;
        settings.soundFont = file;
        audio::Engine engine(settings);
        std::string error;
        EXPECT_FALSE(engine.ensureSynthesiser(error)) << file;
        EXPECT_EQ(error, "The SoundFont " + file + " " + what);
    }
    ::unlink(fifo.c_str());
}

TEST(Engine, TheSynthesisersKeysAreReadFromDevicesIniAndCheckedByName) {
    test::TempDir dir;
    const std::string file = dir.path("devices.ini");
    std::ofstream(file) << "[Synth]\nSoundFont=/a.sf2\nMoreSoundFonts=/b.sf2; /c d.sf2\n"
                           "Gain=0.5\nReverb=off\nChorusLevel=3\nPolyphony=64\n"
                           "Interpolation=7th\nSettings=synth.reverb.damp=0.5; synth.cpu-cores=1\n";
    const audio::DevicesConfig config = audio::readDevicesConfig(file);
    EXPECT_EQ(audio::soundFontList(config.synth.moreSoundFonts),
              (std::vector<std::string>{"/b.sf2", "/c d.sf2"}));
    EXPECT_EQ(config.synth.gain, "0.5");
    EXPECT_EQ(config.synth.reverb, "off");
    EXPECT_EQ(config.synth.polyphony, "64");
    EXPECT_EQ(audio::synthSettingList(config.synth.settings).size(), 2u);
    EXPECT_EQ(audio::Synthesiser::controlsProblem(config.synth), "");
    // Written back, read again the same.
    std::string error;
    ASSERT_TRUE(audio::writeDevicesConfig(file, config, error)) << error;
    EXPECT_EQ(audio::readDevicesConfig(file).synth.settings, config.synth.settings);

    audio::SynthControls bad;
    bad.settings = "synth.gain=0.3;synth.nowhere=2";
    EXPECT_NE(audio::Synthesiser::controlsProblem(bad).find("synth.nowhere"), std::string::npos);
    bad = {};
    bad.reverbLevel = "2";
    EXPECT_NE(audio::Synthesiser::controlsProblem(bad).find("ReverbLevel"), std::string::npos);
}
