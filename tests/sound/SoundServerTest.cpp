// Recording runs through the real window while the engine plays through a
// real sound server of the test's own (PulseAudio with a null sink, a JACK
// dummy server): what the server hears, what is recorded, and what happens
// when the server goes away mid-run.
#include "engine/DeviceConfig.h"
#include "engine/Engine.h"
#include "engine/Output.h"
#include "engine/SoundSystem.h"
#include "platform/Paths.h"
#include "support/EventLoop.h"
#include "support/RunFixture.h"
#include "support/SoundServers.h"

#include <QProcess>
#include <QTimer>

#include <chrono>
#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>

namespace {

constexpr double kStep = 1.0 / 32768; // one 16-bit step

// devices.ini beside this test program.
void useOutput(const std::string &backend, const std::string &device = "", int volume = 100) {
    audio::DevicesConfig config;
    config.soundFont = "/usr/share/sounds/sf2/TimGM6mb.sf2";
    config.backend = backend;
    config.device = device;
    config.volume = volume;
    std::string error;
    ASSERT_TRUE(audio::writeDevicesConfig(paths::devicesFile(), config, error)) << error;
}

// The largest difference between `recording` and `reference` with frame i
// of the recording against frame i + shift of the reference, over the
// frames both have.
double largestDifference(const test::WaveData &recording, const test::WaveData &reference,
                         long long shift) {
    double largest = 0;
    for (long long i = std::max(0LL, -shift);
         i < recording.frames() && i + shift < reference.frames(); ++i)
        for (int c = 0; c < 2; ++c)
            largest = std::max(
                largest, double(std::fabs(recording.samples[std::size_t(2 * i + c)] -
                                          reference.samples[std::size_t(2 * (i + shift) + c)])));
    return largest;
}

class SoundServerRun : public test::RunFixture {
protected:
    void SetUp() override {
        test::RunFixture::SetUp();
        // Long notes that overlap, so that any gap would be heard.
        test::writeFile(
            song,
            test::simpleSong(
                {{0.1, 1.2, 60}, {0.6, 1.9, 64}, {1.1, 2.6, 67}, {1.6, 3.0, 72}, {2.2, 3.2, 55}},
                3.3));
    }
    void TearDown() override {
        useOutput("none");
        test::RunFixture::TearDown();
    }

    // A run through the window on an engine this test holds, so that its
    // frame counts can be read afterwards.
    struct Run {
        test::WaveData wave;
        std::int64_t played = 0, started = 0, ended = 0;
        std::string output;
    };
    Run recordHolding(const std::function<void()> &meanwhile = {}) {
        Run run;
        auto engine = window.Sound->acquire();
        if (engine->output())
            run.output = engine->output()->describe();
        QTimer timer;
        timer.setSingleShot(true);
        if (meanwhile) {
            QObject::connect(&timer, &QTimer::timeout, meanwhile);
            timer.start(1200);
        }
        choose(song);
        record();
        EXPECT_TRUE(waitForState0(10000));
        run.wave = test::readWave(output());
        run.played = engine->lastPlayStartFrame;
        run.started = engine->lastRecordStartFrame;
        run.ended = engine->lastRecordEndFrame;
        return run;
    }

    // Every frame the engine handed over is in the recording, up to the
    // song's end (`frames` into the recording): no gap, no frame lost.
    static void expectWhole(const Run &run, long long frames) {
        EXPECT_EQ(run.wave.frames(), frames);
        EXPECT_LE(run.wave.frames(), run.ended - run.started);
        EXPECT_GT(run.wave.frames(), run.ended - run.started - audio::kPeriodFrames);
    }

    // The same song rendered from its first frame by kestrune-render.
    test::WaveData reference() {
        QProcess render;
        render.start(QString::fromStdString(paths::programFolder() + "../kestrune-render"),
                     {"-q", "0", "--tail", "2", "-o", QString::fromStdString(dir.root() + "ref"),
                      QString::fromStdString(song)});
        std::filesystem::create_directory(dir.root() + "ref");
        render.waitForFinished(60000);
        return test::readWave(dir.root() + "ref/tune.wav");
    }
};

} // namespace

TEST_F(SoundServerRun, PulseHearsWhatIsRecordedAndTheRecordingIsTheSilentOnes) {
    test::PulseServer server;
    ASSERT_TRUE(server.ready()) << "pulseaudio did not start";
    // The monitor's volume is the monitor's: the recording is the same.
    useOutput("pulse", server.sink(), 30);
    test::PulseServer::Capture capture(server);
    const Run heard = recordHolding();
    const std::vector<float> sink = capture.stop();
    EXPECT_NE(heard.output.find("PulseAudio, sink kestrune_test"), std::string::npos)
        << heard.output;
    EXPECT_TRUE(boxes.empty());
    expectWhole(heard, 145530); // 3.3 s
    // The sink heard the music recorded, a little later. (A loaded machine
    // can leave the server a few periods short, which blurs the envelope a
    // little; silence or other music would not come near.)
    EXPECT_GE(test::envelopeCorrelation(heard.wave.samples, sink, 0, 44100), 0.85);

    useOutput("none");
    const Run silent = recordHolding();
    EXPECT_EQ(silent.output, "");
    // The same song: both recordings hold its length to the frame, and the
    // same samples, song frame by song frame.
    expectWhole(silent, 145530);
    const long long shift = (heard.started - heard.played) - (silent.started - silent.played);

    // Alike to the step where the start gaps are alike (the dither starts
    // with the recording); otherwise two dithers of a step each apart.
    EXPECT_LE(largestDifference(heard.wave, silent.wave, shift), shift == 0 ? 0 : 2 * kStep);
}

TEST_F(SoundServerRun, JackHearsTheFramesRecordedAtAConstantOffset) {
    test::JackServer server;
    ASSERT_TRUE(server.ready()) << "jackd did not start";
    test::JackListener listener;
    ASSERT_TRUE(listener.ready());
    useOutput("jack", "KestruneTest:in_left,KestruneTest:in_right", 50);
    const Run run = recordHolding();
    EXPECT_TRUE(boxes.empty());
    EXPECT_NE(run.output.find("KestruneTest:in_left,KestruneTest:in_right"), std::string::npos)
        << run.output;
    const std::vector<float> heard = listener.heard();
    if (listener.xruns() > 0)
        GTEST_SKIP() << "the JACK server ran late " << listener.xruns()
                     << " times (a loaded machine): what was heard has gaps";
    // Where the music begins in each fixes the offset to a frame or two (the
    // recording's dither may cross the threshold a frame apart); the frames
    // themselves fix it exactly.
    auto onset = [](const std::vector<float> &s, float gain) {
        for (std::size_t i = 0; i < s.size(); ++i)
            if (std::fabs(gain * s[i]) > 4 * kStep)
                return (long long)(i / 2);
        return -1LL;
    };
    // Every frame recorded was heard, at half the level (the monitor's
    // volume), unchanged but for the recording's 16-bit step; all but the
    // last periods rendered ahead, which the run's end may have kept from
    // the server (the listener hears silence there).
    const long long compared = run.wave.frames() - audio::kOutputFrames;
    auto unlikeAt = [&](long long offset) {
        long long unlike = 0;
        for (long long i = 0; i < compared; ++i)
            for (int c = 0; c < 2; ++c)
                if (std::fabs(2 * heard[std::size_t(2 * (i + offset) + c)] -
                              run.wave.samples[std::size_t(2 * i + c)]) > 1.5 * kStep)
                    ++unlike;
        return unlike;
    };
    const long long near = onset(heard, 2) - onset(run.wave.samples, 1);
    ASSERT_GE(near, 2);
    ASSERT_LE(compared + near + 2, (long long)heard.size() / 2);
    long long fewest = LLONG_MAX;
    for (long long offset = near - 2; offset <= near + 2; ++offset)
        fewest = std::min(fewest, unlikeAt(offset));
    EXPECT_EQ(fewest, 0);
}

TEST_F(SoundServerRun, AServerKilledMidRunCostsTheRecordingNothing) {
    const test::WaveData whole = reference();
    ASSERT_GT(whole.frames(), 0);
    for (const char *backend : {"pulse", "jack"}) {
        SCOPED_TRACE(backend);
        boxes.clear();
        const bool pulse = std::string(backend) == "pulse";
        std::unique_ptr<test::PulseServer> pulseServer;
        std::unique_ptr<test::JackServer> jackServer;
        if (pulse) {
            pulseServer = std::make_unique<test::PulseServer>();
            ASSERT_TRUE(pulseServer->ready());
            useOutput("pulse");
        } else {
            jackServer = std::make_unique<test::JackServer>();
            ASSERT_TRUE(jackServer->ready());
            useOutput("jack");
        }
        const Run run = recordHolding([&] {
            if (pulse)
                pulseServer->kill();
            else
                jackServer->kill();
        });
        EXPECT_NE(run.output, "");
        // The box after the run names the output lost.
        ASSERT_EQ(boxes.size(), 1u);
        const std::string text = boxes[0].text.toStdString();
        EXPECT_NE(text.find("(" + run.output + ") was lost"), std::string::npos) << text;
        EXPECT_NE(text.find(pulse ? "PulseAudio server went away" : "JACK server went away"),
                  std::string::npos)
            << text;
        // Complete: every frame of the run is in it, and no gap or repeat:
        // it holds the song frame by frame as rendered from its start.
        expectWhole(run, 145530);
        EXPECT_LE(largestDifference(run.wave, whole, run.started - run.played), 2 * kStep);
    }
}

TEST_F(SoundServerRun, AnOutputDevicesIniNamesWronglyFallsBackToAutoWithOneMessage) {
    test::writeFile(song, test::simpleSong({{0.1, 0.3, 60}}, 0.4));
    test::PulseServer server;
    ASSERT_TRUE(server.ready());
    const std::pair<std::string, std::string> wrong[] = {{"pulse", "no_such_sink"}, {"oss", ""}};
    for (const auto &[backend, device] : wrong) {
        SCOPED_TRACE(backend);
        boxes.clear();
        useOutput(backend, device);
        const Run first = recordHolding();
        // Auto found the server's own sink.
        EXPECT_NE(first.output.find("PulseAudio, sink kestrune_test"), std::string::npos);
        ASSERT_EQ(boxes.size(), 1u);
        const std::string text = boxes[0].text.toStdString();
        EXPECT_NE(text.find(paths::devicesFile()), std::string::npos) << text;
        EXPECT_NE(text.find(device.empty() ? "\"oss\"" : "no sink \"no_such_sink\""),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("auto is used instead"), std::string::npos) << text;
        // Once a run of the program.
        boxes.clear();
        recordHolding();
        EXPECT_TRUE(boxes.empty());
    }
}

TEST_F(SoundServerRun, WithNoServerToAnswerTheRunIsSilentAndSaysNothing) {
    test::writeFile(song, test::simpleSong({{0.1, 0.3, 60}}, 0.4));
    ::setenv("PULSE_SERVER", "unix:/nonexistent/native", 1);
    ::setenv("JACK_DEFAULT_SERVER", "kestrune_nobody", 1);
    for (const char *backend : {"auto", "pulse", "jack"}) {
        SCOPED_TRACE(backend);
        useOutput(backend);
        const Run run = recordHolding();
        EXPECT_EQ(run.output, "");
        EXPECT_TRUE(boxes.empty());
        expectWhole(run, 17640); // 0.4 s
    }
    ::unsetenv("PULSE_SERVER");
    ::unsetenv("JACK_DEFAULT_SERVER");
}

TEST(PulseInput, OnTheSteadyClockItIsTakenFrameAfterFrameAtItsOwnPace) {
    // An engine that plays nowhere, recording a null sink's monitor: its
    // steady clock keeps the source's pace, a second at a time, and the
    // frames heard go on where the first ones were placed, never moved
    // (which would drop or double frames in the recording).
    test::PulseServer pulse;
    ASSERT_TRUE(pulse.ready());
    audio::EngineSettings settings;
    settings.devices.backend = "none";
    settings.devices.input = "pulse";
    settings.devices.inputDevice = pulse.sink() + ".monitor";
    audio::Engine engine(settings);
    ASSERT_TRUE(engine.capturing()) << engine.inputError();
    ASSERT_EQ(engine.clock(), audio::EngineClock::Steady);
    const auto heardFor = [&](double seconds) {
        return test::waitFor(
            [&] { return engine.inputClock().heard > std::int64_t(seconds * 44100); }, 60000);
    };
    ASSERT_TRUE(heardFor(2));
    const audio::Engine::InputClock placed = engine.inputClock();
    ASSERT_TRUE(heardFor(14));
    const audio::Engine::InputClock later = engine.inputClock();
    EXPECT_EQ(later.at - later.heard, placed.at - placed.heard);
    // The source runs by the computer's clock: so does the engine, within
    // what a second's arrivals tell.
    const double ran = double(later.at - placed.at) - (later.ahead - placed.ahead);
    EXPECT_NEAR((double(later.heard - placed.heard) - ran) * 1e6 / ran, 0, 100);
}

TEST(JackClock, TellsWhenItReachesAFrameOnTheSteadyClock) {
    // What the ALSA sequencer's queue is timed by when JACK's cycle is the
    // engine's clock: a second of frames takes a second, and the next
    // period is due about now (not in another clock's reckoning). JACK
    // estimates its period from the cycles it has run, which a loaded
    // machine makes a few tenths of a percent off; another rate or clock
    // would be far more.
    test::JackServer server;
    ASSERT_TRUE(server.ready());
    audio::EngineSettings settings;
    settings.devices.backend = "jack";
    audio::Engine engine(settings);
    ASSERT_EQ(engine.clock(), audio::EngineClock::Output);
    ASSERT_TRUE(test::waitFor([&] { return engine.framesRendered() > 4096; }, 30000));
    std::lock_guard<std::mutex> guard(engine.lock());
    const std::int64_t next = engine.nextPeriodFrame();
    const auto due = engine.timeOf(next), secondLater = engine.timeOf(next + 44100);
    ASSERT_TRUE(due && secondLater);
    EXPECT_NEAR(std::chrono::duration<double>(*secondLater - *due).count(), 1.0, 0.01);
    EXPECT_NEAR(std::chrono::duration<double>(*due - std::chrono::steady_clock::now()).count(), 0,
                0.5);
}

TEST(DevicesIni, EveryKeyIsReadAndWritten) {
    test::TempDir dir;
    const std::string file = dir.path("devices.ini");
    test::writeFile(file, {});
    std::ofstream(file) << "; mine\n[Other]\nx=1\n";
    audio::DevicesConfig written;
    written.soundFont = "/a/b.sf2";
    written.backend = "jack";
    written.device = "system:playback_3,system:playback_4";
    written.volume = 35;
    std::string error;
    ASSERT_TRUE(audio::writeDevicesConfig(file, written, error)) << error;
    const audio::DevicesConfig read = audio::readDevicesConfig(file);
    EXPECT_EQ(read.soundFont, written.soundFont);
    EXPECT_EQ(read.backend, written.backend);
    EXPECT_EQ(read.device, written.device);
    EXPECT_EQ(read.volume, 35);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"devices.ini"});
    std::ifstream in(file);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(text.rfind("; mine\n[Other]\nx=1\n", 0), 0u) << text; // the rest is kept
    // Defaults, and a volume out of range.
    std::ofstream(file) << "[Output]\nVolume=250\n";
    const audio::DevicesConfig defaults = audio::readDevicesConfig(file);
    EXPECT_EQ(defaults.backend, "auto");
    EXPECT_EQ(defaults.device, "");
    EXPECT_EQ(defaults.volume, 100);
    EXPECT_FALSE(audio::writeDevicesConfig(dir.path("none/devices.ini"), written, error));
    EXPECT_NE(error.find(dir.path("none/devices.ini")), std::string::npos);
}
