// An outside synthesiser recorded in sync: a real fluidsynth of the test's
// own, taking the sequencer's MIDI from a JACK dummy server and playing
// into JACK or into a PulseAudio null sink, recorded through the real window
// after a calibration; and the states that must end in clear errors.
#include "engine/Calibration.h"
#include "engine/DeviceConfig.h"
#include "engine/Engine.h"
#include "engine/MidiAlsa.h"
#include "engine/SoundSystem.h"
#include "platform/Paths.h"
#include "support/Engines.h"
#include "support/EventLoop.h"
#include "support/RunFixture.h"
#include "support/SoundServers.h"

#include <QProcess>
#include <QTimer>

#include <cmath>
#include <filesystem>

namespace {

constexpr std::uint32_t kTestNoteTicks = 301;
constexpr long long kTestNoteFrame = 13827; // 313542 us

void useDevices(const audio::DevicesConfig &config) {
    std::string error;
    ASSERT_TRUE(audio::writeDevicesConfig(paths::devicesFile(), config, error)) << error;
}

audio::DevicesConfig outside(const std::string &port, const std::string &input,
                             const std::string &device) {
    audio::DevicesConfig config;
    config.soundFont = "/usr/share/sounds/sf2/TimGM6mb.sf2";
    config.backend = "none";
    config.sequencer = "jack";
    config.port = port;
    config.input = input;
    config.inputDevice = device;
    return config;
}

// A wood block (drum 76) at tick 301 (0.3135 s, frame 13827: three frames
// into a 256-frame cycle, as the calibration's notes are at the start of
// theirs; a synthesiser that plays a cycle's events at its start plays both
// alike), alone, then a few piano notes.
test::Bytes songWithATestNote() {
    const auto tick = [](double s) { return std::uint32_t(std::lround(s * 960)); };
    test::TrackWriter t;
    t.delta(0).tempo(500000).delta(0).program(0, 0);
    t.delta(kTestNoteTicks).noteOn(9, 76, 127).delta(tick(0.1)).noteOff(9, 76);
    t.delta(tick(0.2)).noteOn(0, 60, 100).delta(tick(0.4)).noteOff(0, 60);
    t.delta(tick(0.1)).noteOn(0, 64, 100).delta(tick(0.4)).noteOff(0, 64);
    t.delta(tick(0.1)).noteOn(0, 67, 100).delta(tick(0.5)).noteOff(0, 67);
    t.delta(tick(0.3)).end();
    return test::midiFile(0, 480, {t.bytes()});
}

class OutsideRun : public test::RunFixture {
protected:
    void SetUp() override {
        test::RunFixture::SetUp();
        test::writeFile(song, songWithATestNote());
    }
    void TearDown() override {
        audio::DevicesConfig plain;
        plain.soundFont = "/usr/share/sounds/sf2/TimGM6mb.sf2";
        plain.backend = "none";
        useDevices(plain);
        test::RunFixture::TearDown();
    }

    struct Run {
        test::WaveData wave;
        std::int64_t played = 0, started = 0;
    };
    // A run through the window on an engine this test holds.
    Run recordHolding(const std::function<void()> &meanwhile = {}) {
        Run run;
        auto engine = window.Sound->acquire();
        QTimer timer;
        timer.setSingleShot(true);
        if (meanwhile) {
            QObject::connect(&timer, &QTimer::timeout, meanwhile);
            timer.start(900);
        }
        choose(song);
        record();
        EXPECT_TRUE(waitForState0(15000));
        if (std::filesystem::exists(output()))
            run.wave = test::readWave(output());
        run.played = engine->lastPlayStartFrame;
        run.started = engine->lastRecordStartFrame;
        return run;
    }
    // Where the test note begins in the recording, and where it belongs.
    void expectTestNoteWithin(const Run &run, long long frames) {
        const long long belongs = run.played + kTestNoteFrame - run.started;
        const long long heard =
            audio::onsetFrame(run.wave.samples, 0, std::max(0LL, belongs - 8820), belongs + 8820);
        ASSERT_GE(heard, 0) << "the test note is not in the recording";
        EXPECT_LE(std::llabs(heard - belongs), frames)
            << "heard at " << heard << ", belongs at " << belongs;
    }
    // The calibration of an outside synthesiser, a process on a busy
    // machine: a note can be missed, or the notes come back more than 10 ms
    // apart, and the calibration rightly keeps nothing. A person would press
    // "Calibrate" again; so does the test, twice at most.
    static audio::Calibration calibrate(const audio::DevicesConfig &config) {
        audio::Calibration calibration = audio::calibrate(config);
        for (int again = 0; again < 2 && !calibration.stored &&
                            (calibration.message.find("was not heard") != std::string::npos ||
                             calibration.message.find("not steady enough") != std::string::npos);
             ++again)
            calibration = audio::calibrate(config);
        return calibration;
    }
    test::WaveData render() {
        const std::string file = dir.path("render.wav");
        QProcess fluidsynth;
        fluidsynth.start("fluidsynth",
                         {"-ni", "-r", "44100", "-F", QString::fromStdString(file),
                          "/usr/share/sounds/sf2/TimGM6mb.sf2", QString::fromStdString(song)});
        fluidsynth.waitForFinished(60000);
        return test::readWave(file);
    }
};

} // namespace

TEST_F(OutsideRun, JackRecordsTheOutsideSynthesiserInSync) {
    test::JackServer server;
    ASSERT_TRUE(server.ready());
    test::OutsideSynth synth("KestruneTestSynth");
    ASSERT_TRUE(synth.ready()) << "fluidsynth did not start";
    audio::DevicesConfig config = outside(synth.midiPort(), "jack", synth.audioPorts());
    const audio::Calibration calibration = calibrate(config);
    ASSERT_TRUE(calibration.stored) << calibration.message;
    EXPECT_EQ(calibration.measured.size(), 5u);
    config.offset = calibration.offset;
    useDevices(config);

    const Run run = recordHolding();
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes[0].text.toStdString());
    ASSERT_GT(run.wave.frames(), 44100);
    // The recording may begin a little before or after the render's start.
    EXPECT_GE(test::envelopeCorrelation(run.wave.samples, render().samples, -13230, 13230), 0.95);
    expectTestNoteWithin(run, 256);
}

TEST_F(OutsideRun, PulseRecordsTheOutsideSynthesiserInSyncAfterCalibration) {
    test::PulseServer pulse;
    ASSERT_TRUE(pulse.ready());
    test::JackServer jack;
    ASSERT_TRUE(jack.ready());
    test::OutsideSynth synth("KestruneTestSynthP", pulse.sink());
    ASSERT_TRUE(synth.ready()) << "fluidsynth did not start";
    audio::DevicesConfig config = outside(synth.midiPort(), "pulse", pulse.sink() + ".monitor");
    // PulseAudio places what it hears by its own reckoning.
    const audio::Calibration calibration = calibrate(config);
    ASSERT_TRUE(calibration.stored) << calibration.message;
    config.offset = calibration.offset;
    useDevices(config);

    const Run run = recordHolding();
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes[0].text.toStdString());
    ASSERT_GT(run.wave.frames(), 44100);
    expectTestNoteWithin(run, 220); // 5 ms
}

TEST_F(OutsideRun, TheCalibrationRefusesASilentInput) {
    test::JackServer server;
    ASSERT_TRUE(server.ready());
    test::OutsideSynth synth("KestruneTestSynth");
    ASSERT_TRUE(synth.ready());
    // The dummy server's capture ports hear nothing.
    const audio::Calibration calibration =
        audio::calibrate(outside(synth.midiPort(), "jack", "system:capture_1,system:capture_2"));
    EXPECT_FALSE(calibration.stored);
    EXPECT_NE(calibration.message.find("was not heard"), std::string::npos) << calibration.message;
}

TEST_F(OutsideRun, PortsThatAreNotThereAreNamedWhenTheRunStarts) {
    test::JackServer server;
    ASSERT_TRUE(server.ready());
    test::OutsideSynth synth("KestruneTestSynth");
    ASSERT_TRUE(synth.ready());
    const struct {
        audio::DevicesConfig config;
        const char *named;
    } cases[] = {
        {outside("Nobody:midi_00", "jack", synth.audioPorts()), "\"Nobody:midi_00\""},
        {outside(synth.midiPort(), "jack", "Nobody:left,Nobody:right"), "\"Nobody:left\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.named);
        boxes.clear();
        useDevices(c.config);
        choose(song);
        record();
        ASSERT_EQ(boxes.size(), 1u);
        const std::string text = boxes[0].text.toStdString();
        EXPECT_NE(text.find(c.named), std::string::npos) << text;
        EXPECT_NE(text.find(paths::devicesFile()), std::string::npos) << text;
        EXPECT_EQ(window.Pnl_State->caption(), "Standby OK");
        EXPECT_FALSE(std::filesystem::exists(output()));
    }
}

TEST_F(OutsideRun, ASynthesiserThatGoesAwayEndsTheRunWithItsRecordingKept) {
    test::writeFile(song, test::simpleSong({{0.1, 3.0, 60}, {1.0, 4.0, 64}}, 4.5));
    test::JackServer server;
    ASSERT_TRUE(server.ready());
    test::OutsideSynth synth("KestruneTestSynth");
    ASSERT_TRUE(synth.ready());
    useDevices(outside(synth.midiPort(), "jack", synth.audioPorts()));
    const Run run = recordHolding([&] { synth.kill(); });
    // Ended well before the song's end, what was recorded until then saved.
    ASSERT_GT(run.wave.frames(), 0);
    EXPECT_LT(double(run.wave.frames()) / 44100, 3.0);
    EXPECT_GT(run.wave.rms(0.2, 0.8), 0.003);
    ASSERT_EQ(boxes.size(), 1u);
    const std::string text = boxes[0].text.toStdString();
    EXPECT_NE(text.find("KestruneTestSynth"), std::string::npos) << text;
    EXPECT_NE(text.find("went away"), std::string::npos) << text;
}

TEST_F(OutsideRun, AnInputThatHearsNothingIsToldOfAndTheRecordingSaved) {
    test::writeFile(song, test::simpleSong({{0.1, 0.5, 60}}, 0.8));
    test::JackServer server;
    ASSERT_TRUE(server.ready());
    audio::DevicesConfig config = outside("", "jack", "system:capture_1,system:capture_2");
    config.sequencer = "internal"; // heard nowhere the input listens
    useDevices(config);
    const Run run = recordHolding();
    EXPECT_NEAR(double(run.wave.frames()) / 44100, 0.8, 0.2);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.toStdString(), "The input stayed silent: check the connection.");
}

TEST(AlsaSequencer, EventsAreScheduledAtTheirFramesTime) {
    // The queue started at frame 1000; events leave the lead after their time.
    const std::int64_t lead = audio::kAlsaLeadFrames;
    EXPECT_EQ(audio::alsaQueueNanoseconds(1000 - lead, 1000), 0u);
    EXPECT_EQ(audio::alsaQueueNanoseconds(1000 + 44100 - lead, 1000), 1000000000u);
    EXPECT_EQ(audio::alsaQueueNanoseconds(1000 + 441 - lead, 1000), 10000000u);
    // A whole day in, still to the frame.
    const std::int64_t day = 44100LL * 86400;
    EXPECT_EQ(audio::alsaQueueNanoseconds(1000 + day + 1 - lead, 1000), 86400000000000ull + 22675u);
    // Never before the queue's start.
    EXPECT_EQ(audio::alsaQueueNanoseconds(0, 1000 + lead), 0u);

    snd_seq_event_t ev;
    ASSERT_TRUE(audio::alsaEventFor({0, 0x93, 60, 100, 0, 0}, nullptr, ev));
    EXPECT_EQ(ev.type, SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(ev.data.note.channel, 3);
    EXPECT_EQ(ev.data.note.note, 60);
    EXPECT_EQ(ev.data.note.velocity, 100);
    ASSERT_TRUE(audio::alsaEventFor({0, 0xE1, 0x00, 0x40, 0, 0}, nullptr, ev));
    EXPECT_EQ(ev.type, SND_SEQ_EVENT_PITCHBEND);
    EXPECT_EQ(ev.data.control.value, 0); // the centre
    ASSERT_TRUE(audio::alsaEventFor({0, 0xB0, 7, 90, 0, 0}, nullptr, ev));
    EXPECT_EQ(ev.type, SND_SEQ_EVENT_CONTROLLER);
    EXPECT_EQ(ev.data.control.param, 7u);
    const std::uint8_t sysex[] = {0x7E, 0x7F, 0x09, 0x01};
    ASSERT_TRUE(audio::alsaEventFor({0, 0xF0, 0, 0, 0, 4}, sysex, ev));
    EXPECT_EQ(ev.type, SND_SEQ_EVENT_SYSEX);
    ASSERT_EQ(ev.data.ext.len, 6u);
    EXPECT_EQ(static_cast<const std::uint8_t *>(ev.data.ext.ptr)[0], 0xF0);
    EXPECT_EQ(static_cast<const std::uint8_t *>(ev.data.ext.ptr)[5], 0xF7);
}

TEST(AlsaSequencer, PlaysAnOutsideSynthesiserWhereTheKernelHasASequencer) {
    if (!std::filesystem::exists("/dev/snd/seq"))
        GTEST_SKIP() << "this machine has no ALSA sequencer (/dev/snd/seq): the alsa output "
                        "cannot be tried here";
    // A port that does not exist is refused by name; "System:0" always is.
    auto engine = test::drivenEngine();
    std::string error;
    EXPECT_EQ(audio::AlsaMidi::open(*engine, "Nobody:7", error), nullptr);
    EXPECT_NE(error.find("Nobody:7"), std::string::npos) << error;
    error.clear();
    auto midi = audio::AlsaMidi::open(*engine, "System:0", error);
    EXPECT_NE(midi, nullptr) << error;
    // And the sequencer's ports are listed, without "System"'s.
    error.clear();
    for (const audio::OutputDevice &port : audio::alsaMidiInputs(error))
        EXPECT_NE(port.name.rfind("System:", 0), 0u) << port.name;
    EXPECT_EQ(error, "");
    engine.reset();
}
