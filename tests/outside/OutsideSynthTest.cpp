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
#include "support/TestFiles.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>

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

// --- kestrune-render --live: a batch on the outside synthesiser --------------

namespace {

// Strings held from 0.1 s with no note-off, the song ending at `endSeconds`:
// without a reset they would sound on into whatever follows.
test::Bytes heldStrings(double endSeconds) {
    test::TrackWriter t;
    t.delta(0).tempo(500000).delta(0).program(0, 48);
    t.delta(96).noteOn(0, 48, 110).delta(0).noteOn(0, 55, 110).delta(0).noteOn(0, 60, 110);
    t.delta(std::uint32_t(std::lround((endSeconds - 0.1) * 960))).end();
    return test::midiFile(0, 480, {t.bytes()});
}

float loudest(const std::vector<float> &samples, std::size_t fromFrame, std::size_t toFrame) {
    float peak = 0;
    for (std::size_t i = 2 * fromFrame; i < std::min(samples.size(), 2 * toFrame); ++i)
        peak = std::max(peak, std::fabs(samples[i]));
    return peak;
}

// kestrune-render beside the test programs, in a folder of the test's.
class LiveRun : public ::testing::Test {
protected:
    // --live on `midiPort`, recorded from `input`.
    static QStringList live(const std::string &midiPort, const std::string &input,
                            const QStringList &more) {
        return QStringList{"--live",
                           "--midi-port",
                           QString::fromStdString(midiPort),
                           "--input",
                           QString::fromStdString(input),
                           "--no-mp3",
                           "-o",
                           "out",
                           "--report",
                           "report.jsonl"} +
               more;
    }
    void start(QProcess &process, const QStringList &arguments) {
        process.setWorkingDirectory(QString::fromStdString(dir.root()));
        process.start(QString::fromStdString(paths::programFolder() + "../kestrune-render"),
                      arguments);
        ASSERT_TRUE(process.waitForStarted());
    }
    std::map<std::string, QJsonObject> report() {
        std::map<std::string, QJsonObject> lines;
        std::ifstream in(dir.path("report.jsonl"));
        for (std::string line; std::getline(in, line);) {
            const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            lines[o["input"].toString().toStdString()] = o;
        }
        return lines;
    }
    // A batch of four songs after a calibration: strings held with no
    // note-off, a song that opens with a second of silence, the test note's
    // song and a real one. Each starts on a reset instrument that has rung
    // out, in sync, and sounds as the synthesiser sounds the song by itself.
    void recordsFourSongsInSync(const std::string &midiPort, const std::string &input) {
        test::writeFile(dir.path("held.mid"), heldStrings(1.5));
        test::writeFile(dir.path("late.mid"),
                        test::simpleSong({{1.0, 1.5, 60}, {1.6, 2.2, 64}}, 2.4));
        test::writeFile(dir.path("plain.mid"), songWithATestNote());
        std::filesystem::copy_file("/usr/share/games/openttd/baseset/openmsx/5432gone_redfarn.mid",
                                   dir.path("real.mid"));
        // The calibration on a busy machine may miss a note, and say so: the
        // batch is then run again, as a person would, twice at most.
        test::Ran ran;
        for (int attempt = 0; attempt < 3; ++attempt) {
            QProcess process;
            start(process, live(midiPort, input,
                                {"--calibrate", "--tail", "0.5", "held.mid", "late.mid",
                                 "plain.mid", "real.mid"}));
            ASSERT_TRUE(process.waitForFinished(300000));
            ran = test::Ran{process.exitCode(), "", process.readAllStandardError().toStdString()};
            if (ran.said.find("calibration failed") == std::string::npos)
                break;
            std::filesystem::remove(dir.path("report.jsonl"));
        }
        ASSERT_EQ(ran.exit, 0) << ran.said;
        const auto lines = report();
        ASSERT_EQ(lines.size(), 4u);
        for (const auto &[song, line] : lines) {
            SCOPED_TRACE(song);
            EXPECT_EQ(line["status"].toString(), "ok");
            for (const char *key : {"latency_frames", "input_peak_dbfs"})
                EXPECT_TRUE(line[key].isDouble()) << key;
            // The instrument and the input share the computer's clock here.
            EXPECT_LT(std::fabs(line["drift_ppm"].toDouble(1e9)), 50);
            EXPECT_FALSE(line["ringout_timed_out"].toBool());
        }
        // The strings the first song left held are not heard in the
        // second's silent first second; its own notes are.
        const test::WaveData late = test::readWave(dir.path("out/late.wav"));
        EXPECT_LT(loudest(late.samples, 0, 41000), 0.001f);
        EXPECT_GT(late.rms(1.05, 1.45), 0.003);
        // The last two sound as the synthesiser sounds them on its own (their
        // loudness alike in 50 ms steps), and the test note lands where it
        // belongs. (`fluidsynth -F` itself starts a few milliseconds late, so
        // the start is measured by the note.)
        for (const char *song : {"plain", "real"}) {
            SCOPED_TRACE(song);
            const std::string rendered = dir.path(std::string(song) + "-alone.wav");
            ASSERT_EQ(test::runProgram({"fluidsynth", "-ni", "-r", "44100", "-F", rendered,
                                        "/usr/share/sounds/sf2/TimGM6mb.sf2",
                                        dir.path(std::string(song) + ".mid")})
                          .exit,
                      0);
            const test::WaveData recorded =
                test::readWave(dir.path("out/" + std::string(song) + ".wav"));
            const std::vector<float> alone = test::readWave(rendered).samples;
            EXPECT_GE(test::envelopeCorrelation(recorded.samples, alone, -2205, 2205, 147, 2205),
                      0.96);
        }
        const test::WaveData plain = test::readWave(dir.path("out/plain.wav"));
        const long long heard =
            audio::onsetFrame(plain.samples, 0, kTestNoteFrame - 8820, kTestNoteFrame + 8820);
        EXPECT_LE(std::llabs(heard - kTestNoteFrame), 256) << "heard at " << heard;
    }

    test::TempDir dir;
};

// The instrument on a private JACK server, played and heard through it.
class LiveBatch : public LiveRun {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.ready());
        synth = std::make_unique<test::OutsideSynth>("KestruneLiveSynth");
        ASSERT_TRUE(synth->ready()) << "fluidsynth did not start";
    }
    QStringList live(const QStringList &more) const {
        return LiveRun::live(synth->midiPort(), synth->audioPorts(), more);
    }
    // The synthesiser's own outputs, heard by a listener of the test's.
    void listen() {
        ASSERT_TRUE(listener.ready());
        for (const char *side : {"left", "right"})
            ASSERT_EQ(test::runProgram({"jack_connect", "KestruneLiveSynth:" + std::string(side),
                                        "KestruneTest:in_" + std::string(side)})
                          .exit,
                      0);
    }
    // Waits until the listener has heard the instrument play a song for a
    // second on end (the batch's short test note before it does not last);
    // the frame it had heard then.
    std::size_t waitForSong() {
        std::size_t at = 0;
        EXPECT_TRUE(test::waitFor(
            [&] {
                const std::vector<float> heard = listener.heard();
                at = heard.size() / 2;
                if (at < 44100)
                    return false;
                for (std::size_t from = at - 44100; from < at; from += 11025)
                    if (loudest(heard, from, from + 11025) < 0.01f)
                        return false;
                return true;
            },
            30000));
        return at;
    }

    test::JackServer server;
    std::unique_ptr<test::OutsideSynth> synth;
    test::JackListener listener;
};

} // namespace

TEST_F(LiveBatch, EachSongStartsInSyncOnAResetInstrumentThatHasRungOut) {
    recordsFourSongsInSync(synth->midiPort(), synth->audioPorts());
}

TEST_F(LiveRun, OverTheAlsaSequencerEachSongStartsInSyncOnTheInputsClock) {
    if (!std::filesystem::exists("/dev/snd/seq"))
        GTEST_SKIP() << "this machine has no ALSA sequencer (/dev/snd/seq): a live batch over "
                        "the ALSA sequencer cannot be tried here";
    // The instrument on the ALSA sequencer, heard through a PulseAudio null
    // sink's monitor: the engine keeps the input's pace by the steady clock.
    test::PulseServer pulse;
    ASSERT_TRUE(pulse.ready());
    test::OutsideSynth synth("KestruneAlsaSynth", pulse.sink(), true);
    ASSERT_TRUE(synth.ready()) << "fluidsynth did not start";
    recordsFourSongsInSync("alsa:" + synth.midiPort(), "pulse:" + pulse.sink() + ".monitor");
}

TEST_F(LiveBatch, StoppedWithCtrlCTheInstrumentFallsSilentAndTheSongIsNotKept) {
    listen();
    test::writeFile(dir.path("held.mid"), heldStrings(20));
    QProcess process;
    start(process, live({"--latency", "0", "--interrupted", "remove", "held.mid"}));
    const std::size_t sounding = waitForSong();
    ::kill(pid_t(process.processId()), SIGINT);
    const std::size_t stopped = listener.heard().size() / 2;
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitCode(), 130);
    // Within a second of ^C, nothing more sounds on the instrument.
    ASSERT_TRUE(
        test::waitFor([&] { return listener.heard().size() / 2 > stopped + 66150; }, 30000));
    const std::vector<float> heard = listener.heard();
    EXPECT_GT(loudest(heard, sounding - 11025, stopped), 0.01f);
    EXPECT_LT(loudest(heard, stopped + 44100, stopped + 66150), 0.001f);
    EXPECT_FALSE(std::filesystem::exists(dir.path("out/held.wav")));
    EXPECT_EQ(test::TempDir::entriesOf(dir.path("out")).size(), 0u);
}

TEST_F(LiveBatch, AnInstrumentThatGoesAwayFailsItsSongAndTheRestByName) {
    listen();
    test::writeFile(dir.path("first.mid"), heldStrings(8));
    test::writeFile(dir.path("second.mid"), test::simpleSong({{0.1, 0.5, 60}}, 0.8));
    QProcess process;
    start(process, live({"--latency", "0", "first.mid", "second.mid"}));
    waitForSong();
    synth->kill();
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 1);
    const auto lines = report();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto &[input, line] : lines) {
        SCOPED_TRACE(input);
        EXPECT_EQ(line["status"].toString(), "failed");
        EXPECT_NE(line["error"].toString().toStdString().find("KestruneLiveSynth"),
                  std::string::npos)
            << line["error"].toString().toStdString();
    }
    EXPECT_NE(lines.at("first.mid")["error"].toString().toStdString().find("cut off"),
              std::string::npos);
    // Nothing is there as if it had been recorded.
    EXPECT_FALSE(std::filesystem::exists(dir.path("out/first.wav")));
    EXPECT_FALSE(std::filesystem::exists(dir.path("out/second.wav")));
}

TEST_F(LiveBatch, TheAutomaticTailEndsAtTheInputsOwnFloor) {
    // A steady hum on the input's right side (JACK's sine client), as a line
    // input's noise never reaches -90 dBFS.
    test::Process hum({"jack_simple_client"}, {});
    ASSERT_TRUE(test::waitFor(
        [] {
            return test::runProgram({"jack_lsp"}).output.find("jack_simple_client:output2") !=
                   std::string::npos;
        },
        10000));
    test::writeFile(dir.path("short.mid"), test::simpleSong({{0.1, 0.5, 60}}, 0.8));
    QProcess process;
    start(process, QStringList{"--live", "--midi-port", QString::fromStdString(synth->midiPort()),
                               "--input", "KestruneLiveSynth:left,jack_simple_client:output2",
                               "--latency", "0", "--tail", "auto", "--no-mp3", "-o", "out",
                               "--report", "report.jsonl", "short.mid"});
    ASSERT_TRUE(process.waitForFinished(120000));
    const std::string said = process.readAllStandardError().toStdString();
    ASSERT_EQ(process.exitCode(), 0) << said;
    EXPECT_NE(said.find("is noisy"), std::string::npos) << said;
    EXPECT_GT(report()["short.mid"]["noise_floor_dbfs"].toDouble(), -50);
    // Ended once the song's own sound had died away into the hum, long
    // before the automatic tail's 30 seconds.
    EXPECT_LT(test::readWave(dir.path("out/short.wav")).frames(), 5 * 44100);
}

TEST_F(LiveBatch, TheAutomaticTailKeepsARingOutUntilItHasFallenToTheFloor) {
    // A vibraphone note left to ring for seconds after the song's end, heard
    // on the left; a hiss at -60 dBFS on the right, the input's own floor.
    const test::JackHiss hiss(0.001f);
    ASSERT_TRUE(hiss.ready());
    test::TrackWriter t;
    t.delta(0).program(0, 11).delta(96).noteOn(0, 60, 127).delta(384).end();
    test::writeFile(dir.path("ring.mid"), test::midiFile(0, 480, {t.bytes()}));
    QProcess process;
    start(process,
          QStringList{"--live", "--midi-port", QString::fromStdString(synth->midiPort()), "--input",
                      "KestruneLiveSynth:left,KestruneHiss:out", "--latency", "0", "--tail", "auto",
                      "--no-mp3", "-o", "out", "--report", "report.jsonl", "ring.mid"});
    ASSERT_TRUE(process.waitForFinished(120000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    // The recording ends once the ring has stayed within 6 dB of the floor
    // for 100 ms, and no later than a few periods after.
    const double floor = std::pow(10.0, report()["ring.mid"]["noise_floor_dbfs"].toDouble() / 20);
    EXPECT_NEAR(floor, 0.001, 0.0002);
    const test::WaveData ring = test::readWave(dir.path("out/ring.wav"));
    long long lastLoud = 0;
    for (long long f = 0; f < ring.frames(); ++f)
        if (std::fabs(ring.samples[std::size_t(2 * f)]) > 2 * floor)
            lastLoud = f;
    EXPECT_GT(lastLoud, 2 * 44100) << "the ring lasts seconds";
    EXPECT_GE(ring.frames() - lastLoud, 0.1 * 44100);
    EXPECT_LE(ring.frames() - lastLoud, 0.3 * 44100);
}

TEST_F(LiveBatch, PortsThatAreNotThereAreNamedBeforeAnythingRecords) {
    test::writeFile(dir.path("song.mid"), test::simpleSong({{0.1, 0.5, 60}}, 0.8));
    const QString midi = QString::fromStdString(synth->midiPort());
    const QString audio = QString::fromStdString(synth->audioPorts());
    const struct {
        QString port, input;
        const char *says;
    } cases[] = {
        {"Nobody:midi_00", audio, "\"Nobody:midi_00\" given with --midi-port"},
        {midi, "Nobody:left,Nobody:right", "\"Nobody:left,Nobody:right\" given with --input"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.says);
        QProcess process;
        start(process,
              {"--live", "--midi-port", c.port, "--input", c.input, "-o", "out", "song.mid"});
        ASSERT_TRUE(process.waitForFinished(60000));
        const std::string said = process.readAllStandardError().toStdString();
        EXPECT_EQ(process.exitCode(), 1);
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_FALSE(std::filesystem::exists(dir.path("out/song.wav")));
    }
}
