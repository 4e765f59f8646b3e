// The recording session without a window, on a driven clock: every phase of
// a batch run and of a window-style run, the frames each records, and the
// failures (the song as its own output, a save that fails, encoders that
// fail); and two engines in one process, each on its own SoundFont.
#include "engine/Engine.h"
#include "engine/SoundSystem.h"
#include "media/MPlayer.h"
#include "media/mci/Mci.h"
#include "platform/Exception.h"
#include "recording/RecordingSession.h"
#include "recording/RunPlan.h"
#include "support/Sound.h"
#include "support/TestFiles.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace {

test::Bytes contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(engine->ensureSynthesiser(error)) << error;
        song = dir.path("tune.mid");
        // Notes at 0.2 s and 0.5 s; the song ends at exactly 1 s.
        test::writeFile(song, test::simpleSong({{0.2, 0.4, 60}, {0.5, 0.8, 64}}, 1.0));
        sequencer.DeviceType = dtSequencer;
        wave.DeviceType = dtWaveAudio;
        QObject::connect(&session, &RecordingSession::phaseChanged,
                         [this](RecordingSession::Phase p) { phases.push_back(p); });
        plan.song = song;
        plan.options.quality = 0;
        plan.style = RunStyle::Batch;
    }

    void drive(std::int64_t frames) {
        std::lock_guard<std::mutex> guard(engine->lock());
        engine->drive(frames);
    }

    std::string output() const { return dir.path("tune.wav"); }

    const test::DrivenSound driven;
    std::shared_ptr<audio::Engine> engine = audio::SoundSystem::current().acquire();
    test::TempDir dir;
    std::string song;
    TMediaPlayer sequencer, wave;
    RecordingSession session{sequencer, wave};
    SessionPlan plan;
    std::vector<RecordingSession::Phase> phases;
    const std::atomic<bool> running{false};
};

using Phase = RecordingSession::Phase;

TEST_F(SessionTest, ABatchRunRecordsTheSongThenTheTailToTheFrame) {
    for (const auto &[quality, tail] : {std::pair{0, 0.5}, std::pair{5, 1.0}, std::pair{11, 0.0}}) {
        SCOPED_TRACE(quality);
        phases.clear();
        plan.options.quality = quality;
        plan.tailSeconds = tail;
        session.start(plan);
        EXPECT_EQ(session.phase(), Phase::Playing);
        std::int64_t lastDone = -1, total = 0;
        ASSERT_TRUE(session.runFreely(
            *engine,
            [&](std::int64_t done, std::int64_t all) {
                lastDone = done;
                total = all;
            },
            running));
        EXPECT_EQ(session.phase(), Phase::Tail);
        EXPECT_EQ(lastDone, total);
        const RecordingSession::Saved saved = session.write();
        ASSERT_TRUE(saved.ok) << saved.message;
        EXPECT_EQ(phases, (std::vector{Phase::Starting, Phase::Playing, Phase::Tail, Phase::Writing,
                                       Phase::Idle}));
        EXPECT_FALSE(sequencer.IsOpen());
        EXPECT_FALSE(wave.IsOpen());

        const test::WaveData w = test::readWave(output());
        const int rate = session.sampleRate();
        EXPECT_EQ(w.frames(), std::size_t(rate + std::llround(tail * rate)));
        EXPECT_EQ(session.recordedFrames(), std::int64_t(w.frames()));
        // Silence before the first note, sound after it.
        EXPECT_LT(w.rms(0.0, 0.15), 0.01);
        EXPECT_GT(w.rms(0.25, 0.45), 0.003);
        std::filesystem::remove(output());
    }
    // A batch never renames the templates: only the song and nothing else here.
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"tune.mid"});
}

TEST_F(SessionTest, AWindowRunEndsPlaybackByTheNoticeAndTheCallerTimesTheTail) {
    plan.style = RunStyle::Window;
    plan.tailSeconds = 2;
    bool ended = false;
    sequencer.OnNotify = [&](QObject *) { ended = true; };
    session.start(plan);
    // Nothing under the output's name yet: the template's format went into
    // an in-progress file beside it.
    EXPECT_FALSE(std::filesystem::exists(output()));
    // It has a note beside it that names the output and the song.
    const std::vector<std::string> names = dir.entries();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_TRUE(names[0].ends_with(".recording")) << names[0];
    EXPECT_EQ(names[1], names[0] + ".info");
    const test::WaveData made = test::readWave(dir.path(names[0]));
    EXPECT_EQ(made.format, (audio::WaveFormat{44100, 2, 16}));
    EXPECT_EQ(made.frames(), 0u);
    EXPECT_EQ(session.tailFrames(1000), 2000);

    std::int64_t played = 0;
    while (!ended && played < 3 * audio::kSampleRate) {
        drive(audio::kPeriodFrames);
        played += audio::kPeriodFrames;
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(ended);
    EXPECT_EQ(session.progress(), 100);
    session.playbackEnded();
    EXPECT_EQ(session.phase(), Phase::Tail);
    EXPECT_FALSE(sequencer.IsOpen());
    drive(session.tailFrames(audio::kSampleRate));
    ASSERT_TRUE(session.write().ok);
    const test::WaveData w = test::readWave(output());
    // The song (ended within a period of its last frame), then the tail.
    EXPECT_NEAR(double(w.frames()), 3.0 * audio::kSampleRate, 2 * audio::kPeriodFrames);
    EXPECT_EQ(phases.back(), Phase::Idle);
}

TEST_F(SessionTest, TheSongIsNeverItsOwnOutput) {
    // A song named like its recording, with no quality information and no
    // folder of choice: the output would be the song itself.
    const std::string named = dir.path("song.wav");
    const test::Bytes bytes = test::simpleSong({{0.1, 0.2, 60}}, 0.3);
    test::writeFile(named, bytes);
    plan.song = named;
    for (RunStyle style : {RunStyle::Batch, RunStyle::Window}) {
        plan.style = style;
        EXPECT_THROW(session.start(plan), Exception);
        EXPECT_EQ(session.phase(), Phase::Idle);
        EXPECT_FALSE(sequencer.IsOpen());
        EXPECT_FALSE(wave.IsOpen());
        EXPECT_EQ(contents(named), bytes);
    }
}

TEST_F(SessionTest, AFailedSaveKeepsTheRecordingElsewhereAndLeavesNoTemplateOnlyOutput) {
    test::TempDir home;
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(home.root()));
    const std::string folder = dir.path("out");
    std::filesystem::create_directory(folder);
    plan.style = RunStyle::Window;
    plan.options.preferDirectory = true;
    plan.options.directory = folder + "/";
    session.start(plan);
    drive(audio::kSampleRate / 2);
    std::filesystem::remove_all(folder); // gone while recording
    const RecordingSession::Saved saved = session.write();
    qputenv("HOME", oldHome);
    EXPECT_FALSE(saved.ok);
    ASSERT_FALSE(saved.keptAt.empty());
    EXPECT_EQ(saved.keptAt.rfind(home.root(), 0), 0u) << saved.keptAt;
    EXPECT_NE(saved.message.find(saved.keptAt), std::string::npos) << saved.message;
    EXPECT_GE(test::readWave(saved.keptAt).frames(),
              std::size_t(audio::kSampleRate / 2 - audio::kPeriodFrames));
    EXPECT_FALSE(wave.IsOpen());
    EXPECT_EQ(session.phase(), Phase::Idle);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"tune.mid"}); // no in-progress file left
}

TEST_F(SessionTest, TheEncoderStepReportsEachWayAnEncoderEnds) {
    const std::string copier = dir.path("copier.sh");
    const std::string failing = dir.path("failing.sh");
    std::ofstream(copier) << "#!/bin/sh\nexec /usr/bin/lame --silent \"$1\" \"$2\"\n";
    std::ofstream(failing) << "#!/bin/sh\necho 'starting'\necho 'no room for the MP3' >&2\n"
                              "exit 3\n";
    ::chmod(copier.c_str(), 0755);
    ::chmod(failing.c_str(), 0755);
    plan.options.encode = true;
    std::atomic<bool> stop{false};
    EncoderWait how;
    how.wait = [&](const ProcessHandle &p) { return WaitForProcess(p, stop); };
    how.keepOutput = true;
    auto recordAndEncode = [&](const std::string &encoder) {
        plan.options.encoder = encoder;
        session.start(plan);
        EXPECT_TRUE(session.runFreely(*engine, {}, running));
        EXPECT_TRUE(session.write().ok);
        EXPECT_EQ(session.encoderRuns(), !encoder.empty() && encoder != dir.path("missing"));
        return session.encoderRuns() ? session.encode(how) : std::string("skipped");
    };
    EXPECT_EQ(recordAndEncode(copier), "");
    EXPECT_TRUE(HoldsMpegAudio(dir.path("tune.mp3")));
    std::filesystem::remove(dir.path("tune.mp3"));

    const std::string failed = recordAndEncode(failing);
    EXPECT_NE(failed.find("exit status 3"), std::string::npos) << failed;
    EXPECT_NE(failed.find("no room for the MP3"), std::string::npos) << failed;
    EXPECT_EQ(session.phase(), Phase::Idle);
    EXPECT_TRUE(std::filesystem::exists(output())); // the recording stays

    EXPECT_EQ(recordAndEncode(dir.path("missing")), "skipped");
}

// Takes every period an engine renders, from its first.
class Collect : public audio::EngineSink {
public:
    void period(std::int64_t start, const float *frames) override {
        if (first < 0)
            first = start;
        samples.insert(samples.end(), frames, frames + 2 * audio::kPeriodFrames);
    }
    std::int64_t first = -1;
    std::vector<float> samples;
};

TEST(TwoEngines, EachOnItsOwnSoundFontRenderTheSameSongAlike) {
    test::TempDir dir;
    const std::string song = dir.path("s.mid");
    test::writeFile(song, test::simpleSong({{0.1, 0.5, 60}, {0.3, 0.9, 67}}, 1.0));
    const std::string own = dir.path("own.sf2");
    std::filesystem::copy_file("/usr/share/sounds/sf2/TimGM6mb.sf2", own);

    std::vector<float> heard[2];
    std::shared_ptr<audio::Engine> engines[2];
    mci::MCIDEVICEID ids[2] = {0, 0};
    Collect collected[2];
    for (int i = 0; i < 2; ++i) {
        // Each sequencer is opened on the engine of the sound system
        // installed at that moment, and keeps it.
        const test::DrivenSound driven(i == 0 ? "/usr/share/sounds/sf2/TimGM6mb.sf2" : own);
        engines[i] = audio::SoundSystem::current().acquire();
        mci::MCI_OPEN_PARMS open;
        open.lpstrDeviceType = "Sequencer";
        open.lpstrElementName = song.c_str();
        ASSERT_EQ(mci::sendCommand(0, mci::MCI_OPEN,
                                   mci::MCI_WAIT | mci::MCI_OPEN_TYPE | mci::MCI_OPEN_ELEMENT,
                                   &open),
                  0u);
        ids[i] = open.wDeviceID;
    }
    ASSERT_NE(engines[0].get(), engines[1].get());
    for (int i = 0; i < 2; ++i) {
        {
            std::lock_guard<std::mutex> guard(engines[i]->lock());
            engines[i]->addSink(&collected[i]);
        }
        mci::MCI_PLAY_PARMS play;
        ASSERT_EQ(mci::sendCommand(ids[i], mci::MCI_PLAY, 0, &play), 0u);
    }
    // Interleaved, as two jobs in one process would run.
    for (int step = 0; step < 200; ++step)
        for (int i = 0; i < 2; ++i) {
            std::lock_guard<std::mutex> guard(engines[i]->lock());
            engines[i]->drive(audio::kPeriodFrames);
        }
    for (int i = 0; i < 2; ++i) {
        {
            std::lock_guard<std::mutex> guard(engines[i]->lock());
            engines[i]->removeSink(&collected[i]);
        }
        mci::MCI_GENERIC_PARMS close;
        mci::sendCommand(ids[i], mci::MCI_CLOSE, mci::MCI_WAIT, &close);
        const std::int64_t played = engines[i]->lastPlayStartFrame;
        const auto from = collected[i].samples.begin() + 2 * (played - collected[i].first);
        heard[i].assign(from, from + 2 * 44100);
    }
    EXPECT_GT(*std::max_element(heard[0].begin(), heard[0].end()), 0.01f);
    EXPECT_EQ(heard[0], heard[1]);
}

} // namespace
