// Whole recording runs through the real window, offscreen, with short MIDI
// files written by the tests; and the runs that fail, lose their folder, or
// are ended by the system.
#include "app/Application.h"
#include "app/MainWindow.h"
#include "engine/Engine.h"
#include "engine/MidiFile.h"
#include "platform/Paths.h"
#include "support/Engines.h"
#include "support/EventLoop.h"
#include "support/RunFixture.h"
#include "ui/Dialogs.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/mount.h>
#include <sys/stat.h>

using RunTest = test::RunFixture;

TEST_F(RunTest, RecordsTheSongIntoTheChosenFormat) {
    window.CBox_RecordingQuality->setItemIndex(7); // 22050 Hz, 8 bit, mono
    record();
    EXPECT_EQ(window.Pnl_State->caption(), "Now Recording");
    EXPECT_EQ(window.Btn_Record->caption(), "Stop");
    EXPECT_EQ(window.Session->phase(), RecordingSession::Phase::Playing);
    EXPECT_TRUE(window.Timer->Enabled());
    ASSERT_TRUE(waitForState0());
    EXPECT_TRUE(boxes.empty());
    const test::WaveData w = test::readWave(output());
    EXPECT_EQ(w.format, (audio::WaveFormat{22050, 1, 8}));
    EXPECT_NEAR(double(w.frames()) / 22050, 0.9, 0.1);
    EXPECT_LT(w.rms(0.0, 0.25), 0.01); // 8-bit dither only
    EXPECT_GT(w.rms(0.32, 0.5), 0.003);
    EXPECT_EQ(window.Gauge_Progress->Progress(), 0);
    EXPECT_TRUE(window.MP_MIDI->FileName.empty());
    EXPECT_FALSE(window.MP_MIDI->IsOpen());
    EXPECT_FALSE(window.MP_WAVE->IsOpen());
    EXPECT_FALSE(window.Timer->Enabled());
    EXPECT_EQ(window.Timer->Interval(), 500);
    // Only the song and the recording; the templates are all back in place.
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"tune.mid", "tune.wav"}));
    EXPECT_TRUE(std::filesystem::exists(MainWindow::QualityPath() + "KWQF0007.bin"));
}

TEST_F(RunTest, StopEndsPlaybackAtOnceAndAnExistingFileIsReplaced) {
    test::writeFile(output(), {'o', 'l', 'd'});
    test::writeFile(song, test::simpleSong({{0.1, 4.0, 60}}, 5.0));
    record();
    test::spin(600);
    EXPECT_EQ(window.Btn_Record->caption(), "Stop");
    record(); // "Stop"
    ASSERT_TRUE(waitForState0(3000));
    const test::WaveData w = test::readWave(output());
    EXPECT_EQ(w.format, (audio::WaveFormat{44100, 2, 16}));
    EXPECT_LT(double(w.frames()) / 44100, 1.5);
    EXPECT_GT(w.rms(0.2, 0.5), 0.003);
}

TEST_F(RunTest, TheTrailingDelayLengthensTheRecordingAndStopIsIgnoredDuringIt) {
    window.CB_RecordingDelayTime->setChecked(true);
    window.SE_RecordingDelayTime->setValue(1);
    window.CBox_RecordingQuality->setItemIndex(9);
    record();
    ASSERT_TRUE(test::waitFor(
        [&] { return window.Session->phase() == RecordingSession::Phase::Tail; }, 5000));
    // In the delay: the gauge stays, "Stop" is shown but does nothing.
    EXPECT_EQ(window.Btn_Record->caption(), "Stop");
    EXPECT_FALSE(window.Timer->Enabled());
    const int gauge = window.Gauge_Progress->Progress();
    record();
    EXPECT_EQ(window.Pnl_State->caption(), "Now Recording");
    EXPECT_TRUE(window.MP_WAVE->IsOpen());
    EXPECT_EQ(window.Gauge_Progress->Progress(), gauge);
    ASSERT_TRUE(waitForState0(4000));
    // The song, then the delay to the frame.
    const test::WaveData w = test::readWave(output());
    EXPECT_EQ(w.frames(), (39690 * 11025 + 44099) / 44100 + 11025);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(RunTest, NoticesOfAnEarlierRunEndNeitherPlaybackNorRecording) {
    // What an earlier run's devices had still to say (a play's or a
    // recording's end) arrives while this one records: it ends nothing.
    window.Sound = test::drivenSound();
    const auto engine = window.Sound->acquire();
    record();
    test::drive(*engine, 4410);
    for (TMediaPlayer *player : {window.MP_MIDI, window.MP_WAVE})
        QCoreApplication::postEvent(player, new mci::NoticeEvent(mci::MCI_NOTIFY_SUCCESSFUL, 1));
    test::spin(50);
    EXPECT_EQ(window.Session->phase(), RecordingSession::Phase::Playing);
    test::drive(*engine, 44100);
    ASSERT_TRUE(waitForState0());
    EXPECT_EQ(test::readWave(output()).frames(), 39690); // the whole song: 0.9 s
    EXPECT_TRUE(boxes.empty());
}

TEST_F(RunTest, ADelayOfZeroWritesAtOnce) {
    window.CB_RecordingDelayTime->setChecked(true);
    window.SE_RecordingDelayTime->setValue(0);
    record();
    ASSERT_TRUE(waitForState0());
    EXPECT_NEAR(double(test::readWave(output()).frames()) / 44100, 0.9, 0.1);
}

TEST_F(RunTest, TheMp3CheckSwitchesToHighQualityOrTurnsEncodingOff) {
    window.CBox_RecordingQuality->setItemIndex(4);
    window.CB_MPEG1AudioLayerIIIEncode->setChecked(true);
    answer = QMessageBox::Ok;
    record();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Information");
    EXPECT_EQ(boxes[0].text, "MPEG1 Audio Layer III Encode needs High Quality Recording");
    EXPECT_EQ(boxes[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(boxes[0].buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(window.CBox_RecordingQuality->ItemIndex(), 0);
    EXPECT_TRUE(window.CB_MPEG1AudioLayerIIIEncode->isChecked());
    ASSERT_TRUE(waitForState0());
    EXPECT_EQ(test::readWave(output()).format, (audio::WaveFormat{44100, 2, 16}));

    choose(song);
    window.CBox_RecordingQuality->setItemIndex(4);
    answer = QMessageBox::Cancel;
    record();
    EXPECT_EQ(window.CBox_RecordingQuality->ItemIndex(), 4);
    EXPECT_FALSE(window.CB_MPEG1AudioLayerIIIEncode->isChecked());
    ASSERT_TRUE(waitForState0());
    EXPECT_EQ(test::readWave(output()).format, (audio::WaveFormat{22050, 2, 16}));
}

TEST_F(RunTest, AnEmptySongShowsNoProgressAndNoDivisionByZero) {
    test::writeFile(song, test::simpleSong({}, 0.0));
    record();
    EXPECT_EQ(window.MP_MIDI->Length(), 0);
    window.TimerTimer();
    EXPECT_EQ(window.Gauge_Progress->Progress(), 0);
    ASSERT_TRUE(waitForState0());
}

TEST_F(RunTest, AFailingStartLeavesNoBrokenStateBehind) {
    struct Case {
        const char *name;
        std::function<void()> arrange;
    } cases[] = {
        {"no format selected", [&] { window.CBox_RecordingQuality->setItemIndex(-1); }},
        {"preferred folder missing",
         [&] {
             window.CB_PreferencesWAVEFileDirectory->setChecked(true);
             window.Edit_WAVEFileDirectory->setText(QString::fromStdString(dir.path("gone/")));
         }},
        {"song is not MIDI",
         [&] {
             test::writeFile(song, {'n', 'o', 'p', 'e'});
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        window.CBox_RecordingQuality->setItemIndex(0);
        window.CB_PreferencesWAVEFileDirectory->setChecked(false);
        test::writeFile(song, test::simpleSong({{0.1, 0.2, 60}}, 0.3));
        c.arrange();
        record();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, "Kestrune v0.3");
        EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
        // Back to standby with the same file; nothing open, running or left behind.
        EXPECT_EQ(window.Pnl_State->caption(), "Standby OK");
        EXPECT_EQ(window.MP_MIDI->FileName, song);
        EXPECT_EQ(window.Btn_Record->caption(), "Record");
        EXPECT_EQ(window.Session->phase(), RecordingSession::Phase::Idle);
        EXPECT_FALSE(window.Timer->Enabled());
        EXPECT_FALSE(window.MP_MIDI->IsOpen());
        EXPECT_FALSE(window.MP_WAVE->IsOpen());
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"tune.mid"});
        test::spin(300); // a stale notice must not start the writing
        EXPECT_EQ(window.Pnl_State->caption(), "Standby OK");
    }
    // And the next run works.
    boxes.clear();
    test::writeFile(song, test::simpleSong({{0.1, 0.2, 60}}, 0.3));
    record();
    ASSERT_TRUE(waitForState0());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(RunTest, ADamagedTemplateIsReportedAndPutBack) {
    const std::string stored = MainWindow::QualityPath() + "KWQF0010.bin";
    const std::string saved = dir.path("KWQF0010.bak");
    std::filesystem::copy_file(stored, saved);
    test::writeFile(stored, {'j', 'u', 'n', 'k'});
    window.CBox_RecordingQuality->setItemIndex(10);
    record();
    const bool back = std::filesystem::exists(stored) &&
                      !std::filesystem::exists(MainWindow::QualityPath() + "KWQF0010.wav");
    std::filesystem::copy_file(saved, stored, std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.indexOf("KWQF0010.wav"), -1) << boxes[0].text.toStdString();
    EXPECT_TRUE(back);
    EXPECT_EQ(window.Pnl_State->caption(), "Standby OK");
}

TEST_F(RunTest, ASaveIntoARemovedFolderKeepsTheRecordingAndSaysWhere) {
    const test::TempDir home;
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(home.root()));
    const std::string folder = dir.path("out/");
    std::filesystem::create_directory(folder);
    window.CB_PreferencesWAVEFileDirectory->setChecked(true);
    window.Edit_WAVEFileDirectory->setText(QString::fromStdString(folder));
    record();
    std::filesystem::remove_all(folder); // gone while recording
    const bool done = waitForState0();
    qputenv("HOME", oldHome);
    ASSERT_TRUE(done);
    ASSERT_EQ(boxes.size(), 1u);
    const std::string text = boxes[0].text.toStdString();
    EXPECT_NE(text.find(folder + "tune.wav"), std::string::npos) << text;
    const auto kept = home.entries();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_NE(text.find(home.path(kept[0])), std::string::npos) << text;
    const test::WaveData w = test::readWave(home.path(kept[0]));
    EXPECT_NEAR(double(w.frames()) / 44100, 0.9, 0.1);
    EXPECT_GT(w.rms(0.32, 0.5), 0.003);
}

TEST_F(RunTest, AnOutputThatIsTheSongItselfIsRefusedBeforeAnythingIsTouched) {
    const test::Bytes bytes = test::simpleSong({{0.1, 0.2, 60}}, 0.3);
    const std::string wav = dir.path("song.wav"); // a MIDI file named .wav
    test::writeFile(wav, bytes);
    std::filesystem::create_symlink(song, dir.path("tune.wav"));
    const struct {
        const char *name;
        std::string midi;
        const char *folder; // the WAVE file directory of choice, if any
    } cases[] = {
        {"named .wav", wav, nullptr},
        {"the output is a link to the song", song, nullptr},
        {"another spelling of the folder", wav, "/./"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        test::writeFile(song, bytes);
        window.CB_PreferencesWAVEFileDirectory->setChecked(c.folder != nullptr);
        window.Edit_WAVEFileDirectory->setText(
            c.folder ? QString::fromStdString(dir.root() + c.folder) : QString());
        choose(c.midi);
        record();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_NE(boxes[0].text.indexOf("is the MIDI file chosen for recording"), -1)
            << boxes[0].text.toStdString();
        EXPECT_EQ(window.Pnl_State->caption(), "Standby OK");
        EXPECT_EQ(window.MP_MIDI->FileName, c.midi);
        // The song is whole, and nothing was made, renamed or removed.
        EXPECT_EQ(audio::readMidiFile(c.midi).events.size(), 3u);
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"song.wav", "tune.mid", "tune.wav"}));
        EXPECT_TRUE(std::filesystem::is_symlink(dir.path("tune.wav")));
        EXPECT_TRUE(std::filesystem::exists(MainWindow::QualityPath() + "KWQF0000.bin"));
    }
}

// The same song through the window, in real time, and through the renderer.
using RenderAndWindow = test::RunFixture;

TEST_F(RenderAndWindow, RecordTheSameMusic) {
    const test::Bytes bytes =
        test::simpleSong({{0.1, 0.5, 60}, {0.3, 0.9, 64}, {0.6, 1.0, 67}, {1.0, 1.4, 72}}, 1.5);
    test::writeFile(song, bytes);
    window.CB_RecordingDelayTime->setChecked(true);
    window.SE_RecordingDelayTime->setValue(1);
    // Held through the run, so that where it started playing and recording
    // can be read afterwards.
    const auto engine = window.Sound->acquire();
    record();
    ASSERT_TRUE(waitForState0(8000));
    const test::WaveData windowed = test::readWave(output());
    // The window opens the wave device between playing and recording; its
    // recording still starts on the song's first frame.
    EXPECT_EQ(engine->lastRecordStartFrame, engine->lastPlayStartFrame);

    std::filesystem::create_directory(dir.path("cli"));
    QProcess process;
    process.start(QString::fromStdString(paths::programFolder() + "kestrune-render"),
                  {"-q", "0", "--tail", "1", "-o", QString::fromStdString(dir.path("cli")),
                   QString::fromStdString(song)});
    ASSERT_TRUE(process.waitForFinished(60000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    const test::WaveData rendered = test::readWave(dir.path("cli/tune.wav"));

    EXPECT_EQ(rendered.format, windowed.format);
    EXPECT_EQ(rendered.frames(), 66150 + 44100);
    // The same synthesiser from the same first frame: the same samples.
    EXPECT_EQ(windowed.frames(), rendered.frames());
    EXPECT_EQ(windowed.samples, rendered.samples);
}

namespace {

// A small file system of its own, mounted for one test (root only).
class SmallDisk {
public:
    SmallDisk(const std::string &where, const char *size) : where_(where) {
        std::filesystem::create_directory(where);
        const std::string options = std::string("size=") + size;
        mounted_ = ::mount("kestrune-test", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_)
            ::umount2(where_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    std::string where_;
    bool mounted_ = false;
};

} // namespace

TEST_F(RunTest, AFullDiskKeepsTheRecordingElsewhereAndLeavesNoEmptyOutput) {
    // 64 KiB take the template's copy, but not the recording's 159 kB.
    const std::string folder = dir.path("disk/");
    SmallDisk disk(folder, "64k");
    if (!disk.mounted())
        GTEST_SKIP() << "a small file system cannot be mounted here (the test needs root)";
    const test::TempDir home;
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(home.root()));
    window.CB_PreferencesWAVEFileDirectory->setChecked(true);
    window.Edit_WAVEFileDirectory->setText(QString::fromStdString(folder));
    // First the warning that the folder is too small: the user goes on.
    answer = QMessageBox::Ok;
    record();
    ASSERT_GE(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].icon, QMessageBox::Warning);
    EXPECT_NE(boxes[0].text.indexOf(QString::fromStdString(folder + "tune.wav needs")), -1)
        << boxes[0].text.toStdString();
    EXPECT_NE(boxes[0].text.indexOf("Record anyway?"), -1);
    // The template's copy is an in-progress file; nothing stands under the
    // output's name yet.
    const std::vector<std::string> during = test::TempDir::entriesOf(folder);
    const bool done = waitForState0();
    qputenv("HOME", oldHome);
    ASSERT_TRUE(done);
    ASSERT_EQ(boxes.size(), 2u);
    const std::string text = boxes[1].text.toStdString();
    EXPECT_NE(text.find(folder + "tune.wav"), std::string::npos) << text;
    EXPECT_NE(text.find("No space left on device"), std::string::npos) << text;
    // The recording is kept at home, and the full disk holds nothing.
    const auto kept = home.entries();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_NE(text.find(home.path(kept[0])), std::string::npos) << text;
    EXPECT_NEAR(double(test::readWave(home.path(kept[0])).frames()) / 44100, 0.9, 0.1);
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    ASSERT_EQ(during.size(), 2u); // the in-progress file and its note
    // Told so again, the user who says no records nothing.
    boxes.clear();
    answer = QMessageBox::Cancel;
    choose(song);
    record();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(window.Pnl_State->caption(), "Standby OK");
    EXPECT_FALSE(window.MP_WAVE->IsOpen());
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    EXPECT_EQ(during[0].rfind(".kestrune-", 0), 0u) << during[0];
    EXPECT_TRUE(during[0].ends_with(".recording")) << during[0];
}

TEST_F(RunTest, ThePreviousRecordingStaysUntilTheNewOneReplacesIt) {
    // A finished recording under the output's name.
    test::writeFile(song, test::simpleSong({{0.1, 1.5, 60}}, 2.0));
    const test::Bytes previous = test::simpleSong({{0.1, 0.2, 72}}, 0.3); // any bytes
    test::writeFile(output(), previous);
    struct stat before {};
    ::stat(output().c_str(), &before);
    record();
    // While it records, the previous file is there as it was: a crash now
    // loses nothing that was finished.
    test::spin(500);
    EXPECT_EQ(window.Pnl_State->caption(), "Now Recording");
    std::ifstream in(output(), std::ios::binary);
    EXPECT_EQ(test::Bytes(std::istreambuf_iterator<char>(in), {}), previous);
    struct stat during {};
    ::stat(output().c_str(), &during);
    EXPECT_EQ(during.st_ino, before.st_ino);
    ASSERT_TRUE(waitForState0());
    // Then the new recording takes its place, whole; nothing else is left.
    EXPECT_NEAR(double(test::readWave(output()).frames()) / 44100, 2.0, 0.1);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"tune.mid", "tune.wav"}));
}

TEST_F(RunTest, SigtermDuringARunSavesTheRecordingAndEnds) {
    static_cast<TApplication *>(qApp)->InstallQuitSignals();
    qApp->setQuitOnLastWindowClosed(false); // the tests go on after this one
    test::writeFile(song, test::simpleSong({{0.1, 4.0, 60}}, 5.0));
    record();
    test::spin(500);
    std::raise(SIGTERM);
    ASSERT_TRUE(test::waitFor([&] { return !window.isVisible(); }, 3000));
    qApp->setQuitOnLastWindowClosed(true);
    const test::WaveData w = test::readWave(output());
    EXPECT_GT(double(w.frames()) / 44100, 0.4);
    EXPECT_LT(double(w.frames()) / 44100, 1.5);
    EXPECT_GT(w.rms(0.15, 0.4), 0.003);
    EXPECT_FALSE(window.MP_MIDI->IsOpen());
    EXPECT_FALSE(window.MP_WAVE->IsOpen());
}

namespace {

// Five minutes of chords: long enough for the window to record for more
// than a second through a driven engine.
test::Bytes chordSong() {
    std::vector<test::Note> chords;
    for (double at = 0.1; at < 299.0; at += 0.25)
        for (int key : {48, 60, 64, 67, 72})
            chords.push_back({at, at + 0.6, key});
    return test::simpleSong(chords, 300.0);
}

// Runs the window's recording in a process of its own, stopped (when
// `point` is given) at that point and killed there with SIGKILL. Returns
// what the point said, or "ended" for a run that was not stopped.
std::string windowRun(const std::string &song, const std::string &point) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!point.empty())
        environment.insert("KESTRUNE_STOP_AT", QString::fromStdString(point));
    process.setProcessEnvironment(environment);
    process.start(QString::fromStdString(paths::programFolder() + "kestrune_window_run"),
                  {QString::fromStdString(song)});
    std::string said, detail = "ended";
    const std::string mark = "kestrune: stopped at " + point.substr(0, point.find(':')) + " (";
    EXPECT_TRUE(test::waitFor(
        [&] {
            process.waitForReadyRead(50);
            said += process.readAllStandardError().toStdString();
            const auto at = point.empty() ? std::string::npos : said.find(mark);
            if (at == std::string::npos || said.find(")\n", at) == std::string::npos)
                return process.state() == QProcess::NotRunning;
            detail = said.substr(at + mark.size(), said.find(")\n", at) - at - mark.size());
            return true;
        },
        120000))
        << said;
    if (process.state() != QProcess::NotRunning && process.processId() > 0)
        ::kill(pid_t(process.processId()), SIGKILL);
    process.waitForFinished(10000);
    EXPECT_EQ(said.find("box:"), std::string::npos) << said;
    return detail;
}

// Whether the shorter of two recordings of the same run is the beginning
// of the longer, byte for byte: an interrupted one holds what reached the
// disk. Where they first differ when not (never the bytes themselves:
// megabytes of them).
::testing::AssertionResult beginsWith(const std::string &whole, const std::string &part) {
    const std::size_t common = std::min(whole.size(), part.size());
    const auto differ =
        std::mismatch(part.begin(), part.begin() + std::ptrdiff_t(common), whole.begin());
    if (differ.first == part.begin() + std::ptrdiff_t(common))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "they differ from byte " << (differ.first - part.begin()) << " of " << part.size();
}

} // namespace

TEST_F(RunTest, AKilledWindowRecordingIsOfferedAtTheNextStartAndKeptSampleForSample) {
    // With a one-second delay after the song, so that the tail is a point too.
    noSettings.write("[Kestrune v0.3]\nRecording Quality=4\nRecording Delay=1\n"
                     "Recording Delay Time=1\n");
    test::writeFile(song, chordSong());
    const test::TempDir other;
    const std::string elsewhere = other.path("other.mid");
    test::writeFile(elsewhere, test::simpleSong({{0.1, 0.2, 60}}, 0.3));
    windowRun(song, "");
    const std::string whole = test::waveBytes(output());
    ASSERT_GT(whole.size(), 300u * 22050 * 4);
    std::filesystem::remove(output());
    const test::Bytes previous = {'o', 'l', 'd'};

    for (const std::string point : {"start", "sync:1", "tail", "finish", "renamed"}) {
        SCOPED_TRACE(point);
        test::writeFile(output(), previous);
        const std::string said = windowRun(song, point);
        ASSERT_NE(said, "ended");
        const bool renamed = point == "renamed";
        std::ifstream in(output(), std::ios::binary);
        const test::Bytes now{std::istreambuf_iterator<char>(in), {}};
        if (renamed)
            EXPECT_TRUE(test::waveBytes(output()) == whole); // the same run, to the byte
        else
            EXPECT_EQ(now, previous);
        for (const std::string &name : dir.entries())
            EXPECT_TRUE(name == "tune.mid" || name == "tune.wav" || name.ends_with(".recording") ||
                        name.ends_with(".recording.info"))
                << name;

        // The window starts again on a song in another folder: each
        // interrupted recording it started is offered wherever it lies, and
        // saved beside the previous one.
        boxes.clear();
        answer = QMessageBox::Save;
        window.Mode_Record();
        ui::setFileDialogHook(
            [&](const ui::FileDialogRequest &) { return QString::fromStdString(elsewhere); });
        window.Btn_SelectClick();
        ui::setFileDialogHook({});
        answer = QMessageBox::Ok;
        if (renamed || point == "start") {
            // Nothing to offer: saved already, or nothing recorded yet.
            EXPECT_TRUE(boxes.empty()) << boxes[0].text.toStdString();
        } else {
            ASSERT_EQ(boxes.size(), 2u);
            EXPECT_NE(boxes[0].text.indexOf(QString::fromStdString(output())), -1)
                << boxes[0].text.toStdString();
            EXPECT_NE(boxes[0].text.indexOf(QString::fromStdString(song)), -1);
            std::vector<std::string> kept;
            for (const std::string &name : dir.entries())
                if (name.rfind("tune-interrupted-", 0) == 0)
                    kept.push_back(dir.path(name));
            ASSERT_EQ(kept.size(), 1u);
            EXPECT_NE(boxes[1].text.indexOf(QString::fromStdString(kept[0])), -1);
            const std::string recovered = test::waveBytes(kept[0]);
            EXPECT_TRUE(beginsWith(whole, recovered));
            if (point == "sync:1") {
                EXPECT_GE(recovered.size(), std::stoull(said));
                EXPECT_LT(recovered.size(), whole.size()); // mid-run
            }
            std::filesystem::remove(kept[0]);
        }
        for (const std::string &name : dir.entries())
            EXPECT_EQ(name.find(".kestrune-"), std::string::npos) << name;
    }
}
