// The recording session on an engine's own devices, driven: every phase of
// a run, the frames it records with its tail (after the song's end, or
// after a stop), the failures (the song as its own output, a save that
// fails, encoders that fail), the ledger of in-progress files, and two
// sessions on two engines at once in one process.
#include "platform/Exception.h"
#include "platform/Paths.h"
#include "recording/EngineDevices.h"
#include "recording/Formats.h"
#include "recording/Interrupted.h"
#include "recording/RecordingSession.h"
#include "recording/RunPlan.h"
#include "support/Engines.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <thread>

namespace {

using Phase = RecordingSession::Phase;

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
        session.onPhase = [this](Phase p) { phases.push_back(p); };
        plan.song = song;
        plan.format = waveFormatOf(kRecordingFormats[0]);
        plan.waitForEncoder = [this](const ProcessHandle &p) { return WaitForProcess(p, stop); };
        plan.keepEncoderOutput = true;
    }

    // Drives the engine as kestrune-render does, until the session is idle.
    void runToTheEnd() {
        while (!session.poll())
            test::drive(*engine, 16 * audio::kPeriodFrames);
    }

    std::string output() const { return dir.path("tune.wav"); }

    std::shared_ptr<audio::Engine> engine = test::drivenEngine();
    test::TempDir dir;
    std::string song;
    EngineDevices devices{engine};
    RecordingSession session{devices};
    SessionPlan plan;
    std::vector<Phase> phases;
    std::atomic<bool> stop{false};
};

TEST_F(SessionTest, ARunRecordsTheSongThenTheTailToTheFrame) {
    for (const auto &[quality, tail] : {std::pair{0, 0.5}, std::pair{5, 1.0}, std::pair{11, 0.0}}) {
        SCOPED_TRACE(quality);
        phases.clear();
        plan.format = waveFormatOf(kRecordingFormats[std::size_t(quality)]);
        plan.tailSeconds = tail;
        session.start(plan);
        EXPECT_EQ(session.phase(), Phase::Playing);
        // Beside the output while it records: the in-progress file and its
        // note, never a file under the output's name.
        const std::vector<std::string> names = dir.entries();
        ASSERT_EQ(names.size(), 3u);
        EXPECT_TRUE(names[0].ends_with(".recording")) << names[0];
        EXPECT_EQ(names[1], names[0] + ".info");
        runToTheEnd();
        ASSERT_TRUE(session.outcome().saved) << session.outcome().message;
        EXPECT_EQ(phases, (std::vector{Phase::Starting, Phase::Playing, Phase::Tail, Phase::Writing,
                                       Phase::Idle}));

        const test::WaveData w = test::readWave(output());
        EXPECT_EQ(w.format, plan.format);
        const int rate = plan.format.sampleRate;
        EXPECT_EQ(w.frames(), rate + std::llround(tail * rate));
        EXPECT_EQ(session.outcome().frames, w.frames());
        // Silence before the first note, sound after it.
        EXPECT_LT(w.rms(0.0, 0.15), 0.01);
        EXPECT_GT(w.rms(0.25, 0.45), 0.003);
        std::filesystem::remove(output());
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"tune.mid"});
    }
}

TEST_F(SessionTest, AfterAStopTheTailRunsFromWhereTheSongStopped) {
    plan.tailSeconds = 2;
    session.start(plan);
    test::drive(*engine, 40 * audio::kPeriodFrames);
    const std::int64_t stopped = engine->framesRendered() - engine->lastPlayStartFrame;
    session.stopPlayback();
    runToTheEnd();
    ASSERT_TRUE(session.outcome().saved) << session.outcome().message;
    EXPECT_EQ(test::readWave(output()).frames(), stopped + 2 * 44100);
}

TEST_F(SessionTest, TheSongIsNeverItsOwnOutput) {
    // A song named like its recording, with no quality information and no
    // folder of choice: the output would be the song itself.
    const std::string named = dir.path("song.wav");
    const test::Bytes bytes = test::simpleSong({{0.1, 0.2, 60}}, 0.3);
    test::writeFile(named, bytes);
    plan.song = named;
    EXPECT_THROW(session.start(plan), Exception);
    EXPECT_EQ(session.phase(), Phase::Idle);
    EXPECT_FALSE(devices.sequencer().isOpen());
    EXPECT_FALSE(devices.wave().isOpen());
    EXPECT_EQ(contents(named), bytes);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"song.wav", "tune.mid"}));
}

TEST_F(SessionTest, AFailedSaveKeepsTheRecordingElsewhereOrForTheNextRun) {
    test::TempDir home;
    const std::string oldHome = std::getenv("HOME");
    ::setenv("HOME", home.root().c_str(), 1);
    const std::string folder = dir.path("out");
    plan.options.preferDirectory = true;
    plan.options.directory = folder + "/";
    // Kept in the home folder at once (the window), or left in its
    // in-progress file for the next run (a batch).
    for (const bool elsewhere : {true, false}) {
        SCOPED_TRACE(elsewhere);
        std::filesystem::create_directory(folder);
        plan.keepFailedSaveElsewhere = elsewhere;
        if (!elsewhere) // a folder stands under the output's name
            std::filesystem::create_directory(folder + "/tune.wav");
        session.start(plan);
        test::drive(*engine, audio::kSampleRate / 2);
        if (elsewhere)
            std::filesystem::remove_all(folder); // gone while recording
        runToTheEnd();
        const RecordingSession::Outcome &outcome = session.outcome();
        EXPECT_FALSE(outcome.saved);
        if (elsewhere) {
            ASSERT_FALSE(outcome.keptAt.empty());
            EXPECT_EQ(outcome.keptAt.rfind(home.root(), 0), 0u) << outcome.keptAt;
            EXPECT_NE(outcome.message.find(outcome.keptAt), std::string::npos) << outcome.message;
            EXPECT_EQ(test::readWave(outcome.keptAt).frames(), 44100);
        } else {
            const auto found = FindInterrupted({folder});
            ASSERT_EQ(found.size(), 1u) << outcome.message;
            EXPECT_NE(outcome.message.find(found[0].file), std::string::npos) << outcome.message;
            EXPECT_EQ(found[0].frames, 44100);
        }
        EXPECT_FALSE(devices.wave().isOpen());
        EXPECT_EQ(session.phase(), Phase::Idle);
        std::filesystem::remove_all(folder);
    }
    ::setenv("HOME", oldHome.c_str(), 1);
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
    auto recordAndEncode = [&](const std::string &encoder) {
        plan.options.encoder = encoder;
        phases.clear();
        session.start(plan);
        runToTheEnd();
        EXPECT_TRUE(session.outcome().saved);
        const bool runs = std::find(phases.begin(), phases.end(), Phase::Encoding) != phases.end();
        EXPECT_EQ(runs, session.encoderRuns());
        return runs ? session.outcome().message : std::string("skipped");
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
    // Nothing left of the encoders' work but the MP3 that was whole.
    for (const std::string &name : dir.entries())
        EXPECT_EQ(name.find(".kestrune-"), std::string::npos) << name;
}

TEST_F(SessionTest, TheLedgerNotesTheInProgressFileWhileItExists) {
    RecordingsLedger ledger(dir.path("state/recordings-in-progress"));
    plan.ledger = &ledger;
    session.start(plan);
    const std::vector<std::string> noted = ledger.files();
    ASSERT_EQ(noted.size(), 1u);
    EXPECT_TRUE(noted[0].ends_with(".recording")) << noted[0];
    EXPECT_TRUE(paths::isFile(noted[0]));
    runToTheEnd();
    EXPECT_TRUE(ledger.files().empty());
    // One a crash left is noted until it is found gone.
    ledger.add(dir.path(".kestrune-gone.recording"));
    EXPECT_TRUE(ledger.files().empty());
}

// Two sessions, each on an engine of its own, recording at once on two
// threads of one process: each records exactly what it records alone.
TEST(TwoSessions, OnTwoEnginesAtOnceEachRecordsWhatItRecordsAlone) {
    test::TempDir dir;
    const std::string songs[2] = {dir.path("a.mid"), dir.path("b.mid")};
    test::writeFile(songs[0], test::simpleSong({{0.1, 0.5, 60}, {0.3, 0.9, 67}}, 1.0));
    test::writeFile(songs[1], test::simpleSong({{0.2, 0.7, 48}, {0.4, 1.1, 55}}, 1.2, 48));
    auto record = [&](int which, const std::string &folder) {
        auto engine = test::drivenEngine();
        EngineDevices devices(engine);
        RecordingSession session(devices);
        SessionPlan plan;
        plan.song = songs[which];
        plan.format = {48000, 2, 24};
        plan.tailAuto = true;
        plan.options.preferDirectory = true;
        plan.options.directory = folder;
        session.start(plan);
        while (!session.poll())
            test::drive(*engine, audio::kPeriodFrames);
        EXPECT_TRUE(session.outcome().saved) << session.outcome().message;
    };
    for (const char *folder : {"alone/", "together/"})
        std::filesystem::create_directory(dir.path(folder));
    for (int which = 0; which < 2; ++which)
        record(which, dir.path("alone/"));
    std::thread other(record, 1, dir.path("together/"));
    record(0, dir.path("together/"));
    other.join();
    for (const char *name : {"a.wav", "b.wav"}) {
        SCOPED_TRACE(name);
        const std::string alone = test::readFile(dir.path("alone/") + name);
        EXPECT_GT(alone.size(), 48000u * 6);
        EXPECT_TRUE(alone == test::readFile(dir.path("together/") + name));
    }
}

} // namespace
