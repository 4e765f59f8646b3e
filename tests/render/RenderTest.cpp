// kestrune-render as a user runs it: the real program in a process of its
// own, on MIDI files the tests write, its WAVE files read back.
#include "engine/DeviceConfig.h"
#include "engine/Engine.h"
#include "engine/Levels.h"
#include "engine/WaveFile.h"
#include "platform/Paths.h"
#include "recording/Formats.h"
#include "recording/RunPlan.h"
#include "render/RenderFixture.h"
#include "support/SoundFontWriter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <ebur128.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>

TEST_F(Render, EveryFormatHasItsRateBitsChannelsAndTheSongsLength) {
    const std::string midi = song("tune.mid");
    for (int q = 0; q < 12; ++q) {
        SCOPED_TRACE(q);
        const RecordingFormat &f = kRecordingFormats[std::size_t(q)];
        const Ran ran = render({"-q", QString::number(q), "--suffix", "--tail", "0", "tune.mid"});
        ASSERT_EQ(ran.exit, 0) << ran.said;
        const test::WaveData w = test::readWave(dir.path(std::string("tune") + f.qualitySuffix));
        EXPECT_EQ(w.format, (audio::WaveFormat{f.sampleRate, f.channels, f.bitsPerSample}));
        EXPECT_EQ(w.frames(), songFrames(f.sampleRate));
        EXPECT_LT(w.rms(0.0, 0.09), 0.01);
        EXPECT_GT(w.rms(0.12, 0.38), 0.003);
        EXPECT_GT(w.rms(0.52, 0.78), 0.003);
    }
    // The short forms name the same formats.
    ASSERT_EQ(render({"-q", "11025/8/mono", "--suffix", "tune.mid"}).exit, 0);
    ASSERT_EQ(render({"--quality=22050 Hertz / 16 bit / Stereo", "--no-suffix", "tune.mid"}).exit,
              0);
    EXPECT_EQ(test::readWave(dir.path("tune_11025081.wav")).format,
              (audio::WaveFormat{11025, 1, 8}));
    EXPECT_EQ(test::readWave(dir.path("tune.wav")).format, (audio::WaveFormat{22050, 2, 16}));
}

TEST_F(Render, TheTailIsExactToTheFrameAndComesFromTheSettingsUnlessGiven) {
    song("tune.mid");
    for (const auto &[tail, frames] : std::vector<std::pair<const char *, std::int64_t>>{
             {"0", 0}, {"1.5", 33075}, {"2", 44100}}) {
        SCOPED_TRACE(tail);
        ASSERT_EQ(render({"-q", "4", "--tail", tail, "tune.mid"}).exit, 0);
        EXPECT_EQ(test::readWave(dir.path("tune.wav")).frames(), songFrames(22050) + frames);
    }
    // The window's delay of 3 seconds, ticked; unticked, the automatic tail.
    settings.write("[Kestrune v0.3]\nRecording Quality=8\nRecording Delay=1\n"
                   "Recording Delay Time=3\n");
    ASSERT_EQ(render({"tune.mid"}).exit, 0);
    EXPECT_EQ(test::readWave(dir.path("tune.wav")).frames(), songFrames(11025) + 3 * 11025);
    settings.write("[Kestrune v0.3]\nRecording Quality=8\nRecording Delay=0\n"
                   "Recording Delay Time=3\n");
    ASSERT_EQ(render({"tune.mid"}).exit, 0);
    const long long automatic = test::readWave(dir.path("tune.wav")).frames();
    ASSERT_EQ(render({"--tail", "auto", "tune.mid"}).exit, 0);
    EXPECT_EQ(test::readWave(dir.path("tune.wav")).frames(), automatic);
    EXPECT_GT(automatic, songFrames(11025));
}

TEST_F(Render, OutputsAreNamedAndPlacedByTheWindowsRules) {
    song("tune.mid");
    song("odd.midi");
    std::filesystem::create_directory(dir.path("chosen"));
    std::filesystem::create_directory(dir.path("given"));
    // The window's folder of choice and quality information.
    settings.write("[Kestrune v0.3]\nRecording Quality=5\nPreferences WAVE File Directory=1\n"
                   "WAVE File Directory=" +
                   dir.path("chosen/") + "\nPut Quality Information on WAVE File Name=1\n");
    ASSERT_EQ(render({"tune.mid", "odd.midi"}).exit, 0);
    EXPECT_TRUE(std::filesystem::exists(dir.path("chosen/tune_22050161.wav")));
    EXPECT_TRUE(std::filesystem::exists(dir.path("chosen/odd._22050161.wav")));
    // The command line over them.
    ASSERT_EQ(render({"-o", "given", "--no-suffix", "-q", "0", "tune.mid"}).exit, 0);
    EXPECT_EQ(test::readWave(dir.path("given/tune.wav")).format, (audio::WaveFormat{44100, 2, 16}));
    // With the folder unticked, beside the song.
    settings.write("[Kestrune v0.3]\nRecording Quality=0\n");
    ASSERT_EQ(render({dir.path("tune.mid").c_str()}).exit, 0);
    EXPECT_TRUE(std::filesystem::exists(dir.path("tune.wav")));
    // A song named .wav is never its own output.
    song("song.wav");
    const Ran ran = render({"song.wav"});
    EXPECT_EQ(ran.exit, 1);
    EXPECT_NE(ran.said.find("is the MIDI file chosen for recording"), std::string::npos)
        << ran.said;
    EXPECT_EQ(std::filesystem::file_size(dir.path("song.wav")), tune().size());
}

TEST_F(Render, ABatchGoesOnPastBrokenFilesAndReportsEachFile) {
    song("a.mid");
    song("b.mid");
    song("broken.mid", {'M', 'T', 'h', 'd', 0,   0,   0, 6, 0, 0,  0, 1,
                        0,   96,  'M', 'T', 'r', 'k', 0, 0, 0, 40, 0, 0x90});
    std::filesystem::create_directory(dir.path("twice"));
    song("twice/a.mid");
    const Ran ran = render({"-q", "0", "--tail", "0", "-o", ".", "-j", "2", "--report", "r.jsonl",
                            "a.mid", "broken.mid", "b.mid", "missing.mid", "twice/a.mid"});
    EXPECT_EQ(ran.exit, 1) << ran.said;
    auto lines = report(dir.path("r.jsonl"));
    ASSERT_EQ(lines.size(), 5u);
    for (const char *good : {"a.mid", "b.mid"}) {
        const QJsonObject &o = lines[good];
        EXPECT_EQ(o["status"].toString(), "ok");
        EXPECT_EQ(o["format"].toString(), "44100/16/stereo");
        EXPECT_EQ(o["frames"].toInteger(), songFrames(44100));
        EXPECT_NEAR(o["seconds"].toDouble(), 0.9, 1e-6);
        EXPECT_TRUE(o["error"].isNull());
        EXPECT_EQ(test::readWave(dir.path(o["output"].toString().toStdString())).frames(),
                  songFrames(44100));
    }
    EXPECT_EQ(lines["broken.mid"]["status"].toString(), "failed");
    EXPECT_NE(lines["broken.mid"]["error"].toString().indexOf("track 1 is cut short"), -1)
        << lines["broken.mid"]["error"].toString().toStdString();
    EXPECT_NE(lines["missing.mid"]["error"].toString().indexOf("No such file"), -1);
    // Two songs of one name into one folder: the second is refused, not overwritten.
    EXPECT_NE(lines["twice/a.mid"]["error"].toString().indexOf("would also be that of a.mid"), -1);
    EXPECT_NE(ran.said.find("FAILED broken.mid: \"broken.mid\" cannot be played"),
              std::string::npos)
        << ran.said;
    // Nothing half-written: the two recordings and the songs only.
    for (const auto &name : dir.entries())
        EXPECT_TRUE(name == "a.mid" || name == "b.mid" || name == "broken.mid" || name == "twice" ||
                    name == "r.jsonl" || name == "a.wav" || name == "b.wav")
            << name;
}

TEST_F(Render, AFileSoundsTheSameWhereverItStandsInTheBatch) {
    // Strings, whose chorus would carry on from the file before.
    song("strings.mid", test::simpleSong({{0.1, 0.6, 60}, {0.3, 0.9, 67}}, 1.0, 48));
    song("before.mid", test::simpleSong({{0.0, 1.7, 48}}, 1.77, 48));
    std::filesystem::create_directory(dir.path("alone"));
    std::filesystem::create_directory(dir.path("second"));
    ASSERT_EQ(render({"-q", "0", "-o", "alone", "strings.mid"}).exit, 0);
    ASSERT_EQ(render({"-q", "0", "-j", "1", "-o", "second", "before.mid", "strings.mid"}).exit, 0);
    const test::WaveData alone = test::readWave(dir.path("alone/strings.wav"));
    EXPECT_GT(alone.rms(0.1, 0.9), 0.003);
    EXPECT_EQ(alone.samples, test::readWave(dir.path("second/strings.wav")).samples);
}

TEST_F(Render, ShardsShareOutTheListAndExistingOutputsCanBeLeftOut) {
    QStringList all;
    for (int i = 0; i < 7; ++i) {
        // (QString: GCC 12 warns falsely of "s" + std::to_string(i) at -O3.)
        all << QString("s%1.mid").arg(i);
        song(all.back().toStdString());
    }
    std::multiset<std::string> seen;
    for (int k = 0; k < 3; ++k) {
        const std::string file = dir.path(QString("r%1.jsonl").arg(k).toStdString());
        ASSERT_EQ(render(QStringList{"-q", "10", "--tail", "0", "--shard", QString("%1/3").arg(k),
                                     "--report", QString::fromStdString(file)} +
                         all)
                      .exit,
                  0);
        for (const auto &[input, line] : report(file))
            seen.insert(input);
    }
    EXPECT_EQ(seen, (std::multiset<std::string>{"s0.mid", "s1.mid", "s2.mid", "s3.mid", "s4.mid",
                                                "s5.mid", "s6.mid"}));

    // Left out: a whole recording. Recorded again: what is not one (a
    // file that is no WAVE, the template's empty copy a crash left).
    test::writeFile(dir.path("s3.wav"), {'k', 'e', 'e', 'p'});
    test::writeTemplate(dir.path("s4.wav"), {11025, 2, 8});
    ASSERT_EQ(
        render(QStringList{"-q", "10", "--tail", "0", "--skip-existing", "--report", "r.jsonl"} +
               all)
            .exit,
        0);
    auto lines = report(dir.path("r.jsonl"));
    EXPECT_EQ(lines["s2.mid"]["status"].toString(), "skipped"); // recorded by a shard above
    EXPECT_EQ(lines["s3.mid"]["status"].toString(), "ok");
    EXPECT_EQ(lines["s4.mid"]["status"].toString(), "ok");
    EXPECT_EQ(test::readWave(dir.path("s3.wav")).frames(), songFrames(11025));
    EXPECT_EQ(test::readWave(dir.path("s4.wav")).frames(), songFrames(11025));
}

TEST_F(Render, UsageErrorsExitWithTwoAndSayWhy) {
    song("tune.mid");
    const std::pair<QStringList, const char *> cases[] = {
        {{}, "no MIDI file given"},
        {{"-q", "12", "tune.mid"}, "unknown recording quality"},
        {{"-q", "48000/12/stereo", "tune.mid"}, "unknown recording quality"},
        {{"--rate", "7999", "tune.mid"}, "from 8000 to 192000 Hz, not 7999"},
        {{"--bits", "20", "tune.mid"}, "--bits takes 8, 16, 24, 32 or float"},
        {{"--format", "mod", "tune.mid"}, "--format takes wav"},
        {{"--format", "flac", "--bits", "32", "tune.mid"}, "FLAC holds 8, 16 or 24 bits"},
        {{"--format", "opus", "--rate", "44100", "tune.mid"}, "Opus takes only"},
        {{"-o", "one.flac", "tune.mid", "tune.mid"}, "names one file's output; 2 files"},
        {{"--format", "flac", "--mp3=/usr/bin/lame", "-q", "0", "tune.mid"},
         "--format mp3 writes MP3 files itself"},
        {{"--tail", "-1", "tune.mid"}, "--tail"},
        {{"--shard", "3/3", "tune.mid"}, "--shard"},
        {{"-j", "0", "tune.mid"}, "--jobs"},
        {{"-o", "tune.mid/out", "tune.mid"}, "\"tune.mid/out\" cannot be made"},
        {{"--mp3=/usr/bin/lame", "-q", "4", "tune.mid"}, "needs the high-quality format"},
        {{"--mp3=/no/encoder", "-q", "0", "tune.mid"}, "/no/encoder"},
        {{"--frobnicate", "tune.mid"}, "unknown option --frobnicate"},
        {{"--live", "-j", "2", "tune.mid"}, "one song at a time on one instrument"},
        {{"--live", "--stems", "tune.mid"}, "--stems is refused"},
        {{"--midi-port", "Synth:midi_00", "tune.mid"}, "--midi-port is for --live"},
        {{"--live", "--reset", "roland", "tune.mid"}, "--reset takes gm, gs, xg, mt32 or none"},
    };
    for (const auto &[arguments, says] : cases) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const Ran ran = render(arguments);
        EXPECT_EQ(ran.exit, 2);
        EXPECT_NE(ran.said.find(says), std::string::npos) << ran.said;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path("tune.wav")));
    settings.write("[Kestrune v0.3]\nRecording Quality=12\n");
    EXPECT_EQ(render({"tune.mid"}).exit, 2); // the window's list had no selection
}

TEST_F(Render, AMissingOutputFolderIsMadeWithItsParents) {
    song("tune.mid");
    const Ran ran = render({"-q", "10", "--tail", "0", "-o", "wav/deep/er", "tune.mid"});
    ASSERT_EQ(ran.exit, 0) << ran.said;
    EXPECT_EQ(test::readWave(dir.path("wav/deep/er/tune.wav")).frames(),
              std::size_t(songFrames(11025)));
}

TEST_F(Render, Mp3EncodingWithLame) {
    song("tune.mid");
    const Ran ran = render({"--mp3=/usr/bin/lame", "-q", "0", "tune.mid"});
    ASSERT_EQ(ran.exit, 0) << ran.said;
    EXPECT_GT(std::filesystem::file_size(dir.path("tune.mp3")), 1000u);
    EXPECT_TRUE(std::filesystem::exists(dir.path("tune.wav")));
    // LAME's own chatter does not reach the terminal.
    EXPECT_EQ(ran.said.find("LAME"), std::string::npos) << ran.said;
}

TEST_F(Render, AnInterruptedBatchLeavesOnlyWholeFiles) {
    QStringList all;
    for (int i = 0; i < 40; ++i) {
        all << QString("s%1.mid").arg(i);
        song(all.back().toStdString(), test::simpleSong({{0.1, 9.0, 60}}, 10.0));
    }
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(dir.root()));
    process.start(QString::fromStdString(paths::programFolder() + "kestrune-render"),
                  QStringList{"-q", "0", "--tail", "0", "-j", "2"} + all);
    ASSERT_TRUE(process.waitForStarted());
    test::waitFor([&] { return std::filesystem::exists(dir.path("s0.wav")); }, 20000);
    ::kill(pid_t(process.processId()), SIGINT);
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitCode(), 130);
    int whole = 0;
    for (const auto &name : dir.entries()) {
        if (name.size() > 4 && name.substr(name.size() - 4) == ".mid")
            continue;
        ASSERT_EQ(name.substr(name.size() - 4), ".wav") << name; // no temporary file left
        EXPECT_EQ(test::readWave(dir.path(name)).frames(), 441000);
        ++whole;
    }
    EXPECT_GE(whole, 1);
    EXPECT_LT(whole, 40);
}

TEST_F(Render, NamesThatAreNotUtf8GiveValidReportLinesThatKeepTheirBytes) {
    for (const char *name : {"plain.mid", "latin \xe9t\xe9.mid", "broken \xff\xfe.mid"})
        song(name);
    // The shell hands the names over as the bytes they are.
    QProcess shell;
    shell.setWorkingDirectory(QString::fromStdString(dir.root()));
    shell.start("/bin/sh", {"-c", QString::fromStdString("exec '" + paths::programFolder() +
                                                         "kestrune-render' -q 10 --report "
                                                         "r.jsonl *.mid")});
    ASSERT_TRUE(shell.waitForFinished(60000));
    ASSERT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
    // Python's json, which refuses what is not UTF-8, loads every line, and
    // the names come back byte for byte.
    QProcess python;
    python.setWorkingDirectory(QString::fromStdString(dir.root()));
    python.start("/usr/bin/python3",
                 {"-c", "import json, os\n"
                        "names = set()\n"
                        "for line in open('r.jsonl', 'rb'):\n"
                        "    names.add(os.fsencode(json.loads(line.decode('utf-8'))['input']))\n"
                        "wanted = {n for n in os.listdir(b'.') if n.endswith(b'.mid')}\n"
                        "print('same' if names == wanted else sorted(names))\n"});
    ASSERT_TRUE(python.waitForFinished(30000));
    EXPECT_EQ(python.readAllStandardOutput().trimmed().toStdString(), "same")
        << python.readAllStandardError().toStdString();
    // Qt cannot name these files to remove them with the folder.
    QProcess::execute("/bin/sh", {"-c", QString::fromStdString("rm -f '" + dir.root() + "'*")});
}

TEST_F(Render, OutputNamesUpToTheLongestAFolderTakesAreRecorded) {
    // 251 + ".wav": a name of 255 bytes, the most a Linux file system takes.
    const std::string stem(251, 'n');
    song(stem + ".mid");
    const Ran ran =
        render({"-q", "10", "--tail", "0", "--no-suffix", QString::fromStdString(stem + ".mid")});
    EXPECT_EQ(ran.exit, 0) << ran.said;
    EXPECT_EQ(test::readWave(dir.path(stem + ".wav")).frames(), std::size_t(songFrames(11025)));
    EXPECT_EQ(dir.entries().size(), 2u); // no temporary file left
}

// The MP3 step as a hostile folder or a misbehaving encoder would have it.
class RenderMp3 : public Render {
protected:
    std::string encoder(const std::string &name, const std::string &body) {
        const std::string path = dir.path(name);
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }
    // The files of the folder that are neither songs nor encoders.
    std::vector<std::string> made() {
        std::vector<std::string> out;
        for (const auto &entry : std::filesystem::directory_iterator(dir.root())) {
            const std::string name = entry.path().filename().string();
            if (!name.ends_with(".mid") && !name.ends_with(".sh") && name != "outside")
                out.push_back(name);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(RenderMp3, ALinkUnderTheMp3sNameIsReplacedNeverFollowed) {
    song("tune.mid");
    std::filesystem::create_directory(dir.path("outside"));
    test::writeFile(dir.path("outside/precious.mp3"), {'k', 'e', 'e', 'p'});
    std::filesystem::create_symlink("outside/precious.mp3", dir.path("tune.mp3"));
    const Ran ran = render({"--mp3=/usr/bin/lame", "-q", "0", "tune.mid"});
    ASSERT_EQ(ran.exit, 0) << ran.said;
    std::ifstream precious(dir.path("outside/precious.mp3"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(precious), {}), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(dir.path("tune.mp3")));
    EXPECT_TRUE(HoldsMpegAudio(dir.path("tune.mp3")));
    EXPECT_EQ(made(), (std::vector<std::string>{"tune.mp3", "tune.wav"}));
}

TEST_F(RenderMp3, AnEncoderThatWritesNoMp3AudioFailsAndLeavesNothing) {
    song("tune.mid");
    const std::pair<std::string, std::string> encoders[] = {
        {"nothing.sh", "rm -f \"$2\"\nexit 0"},
        {"empty.sh", ": > \"$2\"\nexit 0"},
        {"junk.sh", "cp \"$1\" \"$2\"\nexit 0"},
        {"partial.sh", "head -c 5000 /dev/urandom > \"$2\"\nexit 3"},
    };
    for (const auto &[name, body] : encoders) {
        SCOPED_TRACE(name);
        const std::string reportFile = dir.path("r.jsonl");
        std::filesystem::remove(reportFile);
        const Ran ran = render({QString::fromStdString("--mp3=" + encoder(name, body)), "-q", "0",
                                "--report", QString::fromStdString(reportFile), "tune.mid"});
        EXPECT_EQ(ran.exit, 1) << ran.said;
        const QJsonObject line = report(reportFile)["tune.mid"];
        EXPECT_EQ(line["status"].toString(), "failed");
        EXPECT_NE(line["error"].toString().indexOf("MP3 encoder"), -1)
            << line["error"].toString().toStdString();
        // The WAVE stays; no MP3, whole or partial, and no temporary file.
        EXPECT_EQ(made(), (std::vector<std::string>{"r.jsonl", "tune.wav"}));
    }
}

TEST_F(RenderMp3, SkipExistingMakesAMissingMp3AndLeavesOutWhatIsDone) {
    song("tune.mid");
    ASSERT_EQ(render({"-q", "0", "tune.mid"}).exit, 0); // an earlier run without its MP3
    const auto wave = std::filesystem::last_write_time(dir.path("tune.wav"));
    const std::string reportFile = dir.path("r.jsonl");
    Ran ran = render({"--mp3=/usr/bin/lame", "-q", "0", "--skip-existing", "--report",
                      QString::fromStdString(reportFile), "tune.mid"});
    ASSERT_EQ(ran.exit, 0) << ran.said;
    EXPECT_TRUE(HoldsMpegAudio(dir.path("tune.mp3")));
    EXPECT_EQ(std::filesystem::last_write_time(dir.path("tune.wav")), wave); // not recorded again
    EXPECT_EQ(report(reportFile)["tune.mid"]["status"].toString(), "ok");
    std::filesystem::remove(reportFile);
    ran = render({"--mp3=/usr/bin/lame", "-q", "0", "--skip-existing", "--report",
                  QString::fromStdString(reportFile), "tune.mid"});
    ASSERT_EQ(ran.exit, 0) << ran.said;
    EXPECT_EQ(report(reportFile)["tune.mid"]["status"].toString(), "skipped");
}

TEST_F(RenderMp3, AnEncoderDiesWithTheBatchWhenTheBatchIsKilled) {
    // SIGKILL to the batch ends its worker, and the worker's death ends the
    // encoder it started: nothing writes the MP3 after.
    song("tune.mid");
    const std::string started = dir.path("started");
    const std::string endless =
        encoder("endless.sh",
                "echo $$ > '" + started + "'\nwhile :; do printf x >> \"$2\"; sleep 0.1; done");
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(dir.root()));
    process.start(QString::fromStdString(paths::programFolder() + "kestrune-render"),
                  {QString::fromStdString("--mp3=" + endless), "-q", "0", "tune.mid"});
    ASSERT_TRUE(process.waitForStarted());
    ASSERT_TRUE(test::waitFor(
        [&] { return std::filesystem::exists(started) && std::filesystem::file_size(started); },
        20000));
    std::ifstream in(started);
    pid_t pid = 0;
    in >> pid;
    ASSERT_GT(pid, 0);
    ::kill(pid_t(process.processId()), SIGKILL);
    process.waitForFinished(10000);
    EXPECT_TRUE(test::waitFor([&] { return ::kill(pid, 0) != 0; }, 5000));
}

TEST_F(RenderMp3, AnEncoderThatIgnoresSigtermDoesNotKeepTheProgramRunning) {
    song("tune.mid");
    const std::string started = dir.path("started");
    const std::string stubborn =
        encoder("stubborn.sh", "trap '' TERM\nprintf partial > \"$2\"\necho $$ > '" + started +
                                   "'\nwhile :; do sleep 1; done");
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(dir.root()));
    process.start(QString::fromStdString(paths::programFolder() + "kestrune-render"),
                  {QString::fromStdString("--mp3=" + stubborn), "-q", "0", "tune.mid"});
    ASSERT_TRUE(process.waitForStarted());
    ASSERT_TRUE(test::waitFor(
        [&] { return std::filesystem::exists(started) && std::filesystem::file_size(started); },
        20000));
    ::kill(pid_t(process.processId()), SIGTERM);
    // The encoder would run for ever: the program ends it (SIGKILL after
    // two seconds) and ends itself.
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitCode(), 130);
    std::ifstream in(started);
    pid_t pid = 0;
    in >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(test::waitFor([&] { return ::kill(pid, 0) != 0; }, 5000));
    EXPECT_EQ(made(), (std::vector<std::string>{"started", "tune.wav"}));
}

TEST_F(Render, WorkersEndWithTheBatchEvenWhenItIsKilled) {
    QStringList all;
    for (int i = 0; i < 6; ++i) {
        all << QString("k%1.mid").arg(i);
        song(all.back().toStdString(), test::simpleSong({{0.1, 50.0, 60}}, 60.0));
    }
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(dir.root()));
    process.start(QString::fromStdString(paths::programFolder() + "kestrune-render"),
                  QStringList{"-q", "0", "-j", "2"} + all);
    ASSERT_TRUE(process.waitForStarted());
    const pid_t batch = pid_t(process.processId());
    // Its workers: the processes whose parent it is.
    auto workers = [&] {
        std::vector<pid_t> found;
        for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
                continue;
            std::istringstream fields(line.substr(line.rfind(')') + 2));
            char state = 0;
            pid_t parent = 0;
            fields >> state >> parent;
            if (parent == batch && state != 'Z')
                found.push_back(std::stoi(entry.path().filename().string()));
        }
        return found;
    };
    std::vector<pid_t> seen;
    ASSERT_TRUE(test::waitFor(
        [&] {
            seen = workers();
            return seen.size() == 2;
        },
        20000));
    ::kill(batch, SIGKILL);
    process.waitForFinished(10000);
    // Gone, or a zombie that nobody has reaped yet: either way ended.
    auto running = [](pid_t p) {
        std::ifstream stat("/proc/" + std::to_string(p) + "/stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
            return false;
        return line[line.rfind(')') + 2] != 'Z';
    };
    EXPECT_TRUE(test::waitFor(
        [&] {
            for (pid_t p : seen)
                if (running(p))
                    return false;
            return true;
        },
        5000));
    // Nothing was written after: the songs, and the in-progress files as
    // the kill left them, unchanged since.
    auto sizes = [&] {
        std::map<std::string, std::uintmax_t> found;
        for (const std::string &name : dir.entries())
            found[name] = std::filesystem::file_size(dir.path(name));
        return found;
    };
    const auto left = sizes();
    test::spin(300);
    EXPECT_EQ(sizes(), left);
    for (const auto &[name, size] : left)
        EXPECT_TRUE(name.ends_with(".mid") || name.ends_with(".recording") ||
                    name.ends_with(".recording.info"))
            << name;
}

TEST_F(Render, ASongTheFolderCannotHoldIsRefusedBeforeItRecords) {
    // Seven hours of song (one note, then a long rest): 4.4 GB of WAVE.
    song("long.mid", test::simpleSong({{0.1, 0.5, 60}}, 7 * 3600.0));
    const std::string folder = dir.path("small");
    std::filesystem::create_directory(folder);
    if (::mount("kestrune-test", folder.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "a small file system cannot be mounted here (the test needs root)";
    // Rendering seven hours would take minutes: the refusal comes first.
    const Ran ran =
        render({"-q", "0", "--tail", "0", "-o", "small", "--report", "r.jsonl", "long.mid"});
    ::umount2(folder.c_str(), MNT_DETACH);
    EXPECT_EQ(ran.exit, 1) << ran.said;
    const QString error = report(dir.path("r.jsonl"))["long.mid"]["error"].toString();
    EXPECT_NE(error.indexOf("4445."), -1) << error.toStdString();          // MB the recording needs
    EXPECT_NE(error.indexOf("small/long.wav"), -1) << error.toStdString(); // as given
    EXPECT_NE(error.indexOf("small/ has"), -1) << error.toStdString();
    EXPECT_NE(error.indexOf(" free"), -1) << error.toStdString();
}

// --- Batches a cluster can trust ---------------------------------------------

TEST_F(Render, EveryFileOfALongListIsRecordedByExactlyOneShardHoweverTheListIsSplit) {
    // 750 paths in folders, as a collection would be; the songs are short.
    std::vector<std::string> paths;
    const test::Bytes tiny = test::simpleSong({{0.0, 0.02, 60}}, 0.03);
    for (int i = 0; i < 750; ++i) {
        const std::string folder = "c" + std::to_string(i % 7) + "/";
        std::filesystem::create_directories(dir.path(folder));
        paths.push_back(folder + "song-" + std::to_string(i) + ".mid");
        test::writeFile(dir.path(paths.back()), tiny);
    }
    const int shards = 12;
    // One run of the batch per shard, each given the list in pieces as
    // xargs would: where a piece ends depends on the shard (a two-digit
    // index makes every command line longer), and the pieces of one
    // shard are listed shuffled.
    auto runAll = [&](bool shuffled) {
        std::multiset<std::string> recorded;
        for (int k = 0; k < shards; ++k) {
            std::vector<std::string> order = paths;
            if (shuffled)
                std::reverse(order.begin(), order.end());
            const std::size_t piece = k < 10 ? 128 : 126;
            for (std::size_t from = 0; from < order.size(); from += piece) {
                std::ofstream list(dir.path("list.txt"));
                for (std::size_t i = from; i < std::min(order.size(), from + piece); ++i)
                    list << order[i] << "\n";
                list.close();
                std::filesystem::remove(dir.path("r.jsonl"));
                const Ran ran = render({"-q", "11", "-j", "2", "--quiet", "--base", ".", "-o",
                                        "out", "--shard", QString("%1/%2").arg(k).arg(shards),
                                        "--files-from", "list.txt", "--report", "r.jsonl"});
                EXPECT_EQ(ran.exit, 0) << ran.said;
                std::ifstream report(dir.path("r.jsonl"));
                for (std::string line; std::getline(report, line);) {
                    const QJsonObject o =
                        QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
                    EXPECT_EQ(o["status"].toString(), "ok") << line;
                    recorded.insert(o["input"].toString().toStdString());
                }
            }
        }
        return recorded;
    };
    const std::multiset<std::string> all(paths.begin(), paths.end());
    EXPECT_EQ(runAll(false), all);
    std::filesystem::remove_all(dir.path("out"));
    EXPECT_EQ(runAll(true), all);
    // Mirrored below -o: c3/song-3.mid went to out/c3/song-3.wav.
    EXPECT_EQ(test::readWave(dir.path("out/c3/song-3.wav")).format,
              (audio::WaveFormat{11025, 1, 8}));
}

TEST_F(Render, TheSameNameInTwoFoldersIsMirroredOrRefusedInEveryShard) {
    std::filesystem::create_directories(dir.path("a"));
    std::filesystem::create_directories(dir.path("b"));
    song("a/song.mid");
    song("b/song.mid");
    // Without --base both would be out/song.wav: in whichever shard each
    // lands, b/song.mid fails naming a/song.mid, and a/song.mid records.
    std::map<std::string, QJsonObject> lines;
    for (int k = 0; k < 2; ++k) {
        const std::string report = dir.path(QString("r%1.jsonl").arg(k).toStdString());
        render({"-q", "11", "-o", "out", "--shard", QString("%1/2").arg(k), "--report",
                QString::fromStdString(report), "a/song.mid", "b/song.mid"});
        for (const auto &[input, line] : this->report(report))
            lines[input] = line;
    }
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines["a/song.mid"]["status"].toString(), "ok");
    EXPECT_EQ(lines["b/song.mid"]["status"].toString(), "failed");
    EXPECT_NE(lines["b/song.mid"]["error"].toString().indexOf("a/song.mid"), -1);
    // With --base, each has its own.
    const Ran ran = render({"-q", "11", "-o", "mirror", "--base", ".", "a/song.mid", "b/song.mid"});
    EXPECT_EQ(ran.exit, 0) << ran.said;
    EXPECT_TRUE(std::filesystem::exists(dir.path("mirror/a/song.wav")));
    EXPECT_TRUE(std::filesystem::exists(dir.path("mirror/b/song.wav")));
}

TEST_F(Render, TheCheckFindsWhatIsMissingShortLeftOverOrDoubled) {
    for (const char *name : {"a.mid", "b.mid", "c.mid", "d.mid"})
        song(name);
    auto check = [&](const QStringList &more) {
        QProcess process;
        process.setWorkingDirectory(QString::fromStdString(dir.root()));
        process.start(QString::fromStdString(paths::programFolder() + "kestrune-render"),
                      QStringList{"--check", "-q", "10", "-o", "out", "--report", "r.jsonl",
                                  "a.mid", "b.mid", "c.mid", "d.mid"} +
                          more);
        EXPECT_TRUE(process.waitForFinished(60000));
        return std::make_pair(process.exitCode(), process.readAllStandardOutput().toStdString());
    };
    ASSERT_EQ(
        render({"-q", "10", "-o", "out", "--report", "r.jsonl", "a.mid", "b.mid", "c.mid", "d.mid"})
            .exit,
        0);
    const auto [allThere, nothing] = check({});
    EXPECT_EQ(allThere, 0) << nothing;
    EXPECT_EQ(nothing, "");
    // Then: one missing, one cut short, a file left in progress, and one
    // recorded twice (a shard run again without --skip-existing).
    std::filesystem::remove(dir.path("out/a.wav"));
    std::ifstream in(dir.path("out/b.wav"), std::ios::binary);
    const std::string recorded(std::istreambuf_iterator<char>(in), {});
    const std::size_t half = (recorded.size() - 44) / 4 * 2; // 8-bit stereo: two bytes a frame
    std::FILE *spool = std::tmpfile();
    std::fwrite(recorded.data() + 44, 1, half, spool);
    std::string error;
    ASSERT_TRUE(audio::writeWaveFile(dir.path("out/b.wav"), audio::WaveFormat{11025, 2, 8}, spool,
                                     half, error));
    std::fclose(spool);
    test::writeFile(dir.path("out/.kestrune-Ab12Cd.recording"), {'R', 'I', 'F', 'F'});
    ASSERT_EQ(render({"-q", "10", "-o", "out", "--report", "r.jsonl", "d.mid"}).exit, 0);
    // One being made still: its recording holds its lock. And temporary
    // files: one a killed run left, one a running one writes (and locks).
    test::writeFile(dir.path("out/.kestrune-Ef34Gh.recording"), {'R', 'I', 'F', 'F'});
    test::writeFile(dir.path("out/.kestrune-Ij56Kl.tmp"), {'h', 'a', 'l', 'f'});
    test::writeFile(dir.path("out/.kestrune-Mn78Op.tmp"), {'b', 'u', 's', 'y'});
    const int held = ::open(dir.path("out/.kestrune-Ef34Gh.recording").c_str(), O_RDONLY);
    const int writing = ::open(dir.path("out/.kestrune-Mn78Op.tmp").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    ASSERT_EQ(::flock(writing, LOCK_EX), 0);
    const auto [exit, said] = check({});
    ::close(held);
    EXPECT_EQ(exit, 1);
    EXPECT_NE(said.find("missing: out/a.wav"), std::string::npos) << said;
    EXPECT_NE(said.find("short: out/b.wav"), std::string::npos) << said;
    EXPECT_NE(said.find("interrupted: out/.kestrune-Ab12Cd.recording"), std::string::npos) << said;
    EXPECT_NE(said.find("in progress: out/.kestrune-Ef34Gh.recording"), std::string::npos) << said;
    EXPECT_NE(said.find("left over: out/.kestrune-Ij56Kl.tmp"), std::string::npos) << said;
    EXPECT_NE(said.find("being written: out/.kestrune-Mn78Op.tmp"), std::string::npos) << said;
    EXPECT_NE(said.find("doubled: d.mid"), std::string::npos) << said;
    EXPECT_EQ(said.find("c.mid"), std::string::npos) << said; // c is whole
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 7) << said;

    // The next run removes the leftover, and says so; the file being
    // written stays.
    const Ran next = render({"-q", "10", "-o", "out", "--report", "r2.jsonl", "c.mid"});
    ::close(writing);
    EXPECT_EQ(next.exit, 0) << next.said;
    EXPECT_NE(next.said.find("Left-over temporary file out/.kestrune-Ij56Kl.tmp (4 bytes) removed"),
              std::string::npos)
        << next.said;
    EXPECT_FALSE(std::filesystem::exists(dir.path("out/.kestrune-Ij56Kl.tmp")));
    EXPECT_TRUE(std::filesystem::exists(dir.path("out/.kestrune-Mn78Op.tmp")));
    EXPECT_EQ(next.said.find("Mn78Op"), std::string::npos) << next.said;
    const std::string reported = test::readFile(dir.path("r2.jsonl"));
    EXPECT_NE(reported.find("{\"leftover\":\"out/.kestrune-Ij56Kl.tmp\",\"bytes\":4,"
                            "\"status\":\"leftover\",\"action\":\"removed\",\"error\":null}"),
              std::string::npos)
        << reported;
}

namespace {

// A run stopped at a named point of its recording (KESTRUNE_STOP_AT), then
// killed with SIGKILL there, as a crash or a kill -9 would end it.
struct Stopped {
    bool reached = false;
    std::string detail; // what the point says: bytes synced, a path
};

Stopped killAt(const std::string &folder, const QStringList &arguments, const std::string &point) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("KESTRUNE_STOP_AT", QString::fromStdString(point));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QString::fromStdString(folder));
    process.start(QString::fromStdString(paths::programFolder() + "kestrune-render"), arguments);
    Stopped stopped;
    std::string said;
    const std::string mark = "kestrune: stopped at " + point.substr(0, point.find(':')) + " (";
    EXPECT_TRUE(test::waitFor(
        [&] {
            process.waitForReadyRead(50);
            said += process.readAllStandardError().toStdString();
            const auto at = said.find(mark);
            if (at == std::string::npos || said.find(")\n", at) == std::string::npos)
                return process.state() == QProcess::NotRunning;
            stopped.reached = true;
            const auto from = at + mark.size();
            stopped.detail = said.substr(from, said.find(")\n", at) - from);
            return true;
        },
        120000))
        << said;
    if (process.state() != QProcess::NotRunning && process.processId() > 0)
        ::kill(pid_t(process.processId()), SIGKILL); // its worker dies with it
    process.waitForFinished(10000);
    // The worker is gone once nothing holds its in-progress file's lock (a
    // large process takes a while to be torn down).
    EXPECT_TRUE(test::waitFor(
        [&] {
            for (const std::string &name : test::TempDir::entriesOf(folder)) {
                if (!name.ends_with(".recording"))
                    continue;
                const int fd = ::open((folder + name).c_str(), O_RDONLY);
                const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
                if (fd >= 0)
                    ::close(fd);
                if (held)
                    return false;
            }
            return true;
        },
        20000));
    return stopped;
}

// Whether `part` is the beginning of `whole`, byte for byte; where they
// first differ when not (never the bytes themselves: megabytes of them).
::testing::AssertionResult beginsWith(const std::string &whole, const std::string &part) {
    if (part.size() > whole.size())
        return ::testing::AssertionFailure()
               << part.size() << " bytes, more than the " << whole.size() << " of the whole";
    const auto differ = std::mismatch(part.begin(), part.end(), whole.begin());
    if (differ.first == part.end())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "they differ from byte " << (differ.first - part.begin()) << " of " << part.size();
}

} // namespace

TEST_F(Render, AKilledRenderLeavesThePreviousOutputOrTheNewOneAndKeepsWhatItRecorded) {
    // Five minutes of chords, then a tail: long enough to render for more
    // than a second, so that the first sync comes mid-run.
    std::vector<test::Note> chords;
    for (double at = 0.1; at < 299.0; at += 0.25)
        for (int key : {48, 60, 64, 67, 72})
            chords.push_back({at, at + 0.6, key});
    const test::Bytes bytes = test::simpleSong(chords, 300.0);
    const QStringList arguments{"--quiet",  "-q",           "4",       "--tail", "2",
                                "--report", "report.jsonl", "song.mid"};
    const std::string reference = dir.path("reference/");
    std::filesystem::create_directory(reference);
    test::writeFile(reference + "song.mid", bytes);
    {
        QProcess process;
        process.setWorkingDirectory(QString::fromStdString(reference));
        process.start(QString::fromStdString(paths::programFolder() + "kestrune-render"),
                      arguments);
        ASSERT_TRUE(process.waitForFinished(120000));
        ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    }
    const std::string whole = test::waveBytes(reference + "song.wav");
    ASSERT_GT(whole.size(), 300u * 22050 * 4);
    const test::Bytes previous = {'o', 'l', 'd', ' ', 'r', 'e', 'c', 'o', 'r', 'd', 'i', 'n', 'g'};

    for (const std::string point : {"start", "sync:1", "tail", "finish", "renamed"}) {
        SCOPED_TRACE(point);
        const std::string folder = dir.path(point.substr(0, point.find(':')) + "/");
        std::filesystem::create_directory(folder);
        test::writeFile(folder + "song.mid", bytes);
        test::writeFile(folder + "song.wav", previous);
        const Stopped stopped = killAt(folder, arguments, point);
        ASSERT_TRUE(stopped.reached);
        // The previous recording until the rename, then the whole new one;
        // in between only files whose names say they are in progress.
        const bool renamed = point == "renamed";
        std::ifstream old(folder + "song.wav", std::ios::binary);
        const test::Bytes now{std::istreambuf_iterator<char>(old), {}};
        if (renamed) {
            EXPECT_TRUE(beginsWith(whole, test::waveBytes(folder + "song.wav")));
            EXPECT_EQ(test::waveBytes(folder + "song.wav").size(), whole.size());
        } else {
            EXPECT_EQ(now, previous);
        }
        for (const std::string &name : test::TempDir::entriesOf(folder))
            EXPECT_TRUE(name == "song.mid" || name == "song.wav" || name == "report.jsonl" ||
                        name.ends_with(".recording") || name.ends_with(".recording.info"))
                << name;

        // The next run over the folder keeps what was recorded and says so,
        // then records the song whole.
        QProcess again;
        again.setWorkingDirectory(QString::fromStdString(folder));
        again.start(QString::fromStdString(paths::programFolder() + "kestrune-render"), arguments);
        ASSERT_TRUE(again.waitForFinished(120000));
        const std::string said = again.readAllStandardError().toStdString();
        EXPECT_EQ(again.exitCode(), 0) << said;
        EXPECT_TRUE(beginsWith(whole, test::waveBytes(folder + "song.wav")));
        EXPECT_EQ(test::waveBytes(folder + "song.wav").size(), whole.size());
        std::vector<QJsonObject> interrupted;
        std::ifstream lines(folder + "report.jsonl");
        for (std::string line; std::getline(lines, line);) {
            const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            if (o["status"].toString() == "interrupted")
                interrupted.push_back(o);
        }
        if (renamed) {
            EXPECT_TRUE(interrupted.empty());
        } else {
            ASSERT_EQ(interrupted.size(), 1u) << said;
            EXPECT_NE(said.find("Interrupted recording"), std::string::npos) << said;
            EXPECT_EQ(interrupted[0]["output"].toString().toStdString(), folder + "song.wav");
        }
        if (point == "start") {
            // Nothing had been recorded: nothing to keep.
            EXPECT_EQ(interrupted[0]["action"].toString(), "removed");
        } else if (!renamed) {
            EXPECT_EQ(interrupted[0]["action"].toString(), "kept");
            const std::string kept = interrupted[0]["interrupted"].toString().toStdString();
            EXPECT_NE(kept.find("song-interrupted-"), std::string::npos) << kept;
            // What it holds is the recording's beginning, sample for sample,
            // and at least every byte synced before the kill.
            const std::string recovered = test::waveBytes(kept);
            EXPECT_TRUE(beginsWith(whole, recovered));
            if (point == "finish") {
                EXPECT_EQ(recovered.size(), whole.size());
            } else if (point == "sync:1") {
                EXPECT_GE(recovered.size(), std::stoull(stopped.detail));
            }
            const test::WaveData w = test::readWave(kept);
            EXPECT_EQ(std::size_t(w.frames()) * 4, recovered.size());
        }
        // Nothing in progress is left.
        for (const std::string &name : test::TempDir::entriesOf(folder))
            EXPECT_EQ(name.find(".kestrune-"), std::string::npos) << name;
    }
}

TEST_F(Render, TheSamplesThenTheHeaderThenTheFolderEntryReachTheDiskInThatOrder) {
    // What a power cut keeps is what was synced: the order of the syncs, as
    // strace sees the real program make them, is what makes the in-progress
    // file recoverable at every moment and the rename all or nothing.
    if (std::system("command -v strace >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed (scripts/install-deps installs it)";
    std::vector<test::Note> chords;
    for (double at = 0.1; at < 299.0; at += 0.25)
        for (int key : {48, 60, 64, 67, 72})
            chords.push_back({at, at + 0.6, key});
    song("song.mid", test::simpleSong(chords, 300.0));
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(dir.root()));
    // A sanitizer's leak check cannot run under a tracer.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ASAN_OPTIONS", "detect_leaks=0");
    process.setProcessEnvironment(environment);
    process.start("strace", {"-f", "--seccomp-bpf", "-qq", "-y", "-o", "trace.txt", "-e",
                             "trace=fdatasync,fsync,pwrite64,rename,renameat,renameat2",
                             QString::fromStdString(paths::programFolder() + "kestrune-render"),
                             "--quiet", "-q", "4", "song.mid"});
    ASSERT_TRUE(process.waitForFinished(300000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();

    // Each step on the in-progress file or its folder, as a letter: D the
    // samples synced, H the header written, F the file synced whole, R the
    // rename, S the folder synced.
    std::string steps;
    std::ifstream trace(dir.path("trace.txt"));
    const std::string folder = std::filesystem::canonical(dir.root()).string();
    for (std::string line; std::getline(trace, line);) {
        const bool journal = line.find(".recording>") != std::string::npos;
        if (line.find("fdatasync(") != std::string::npos && journal)
            steps += 'D';
        else if (line.find("pwrite64(") != std::string::npos && journal &&
                 line.find(", 0) = ") != std::string::npos)
            steps += 'H';
        else if (line.find("fsync(") != std::string::npos && journal)
            steps += 'F';
        else if (line.find("rename") != std::string::npos &&
                 line.find(".recording") != std::string::npos)
            steps += 'R';
        else if (line.find("fsync(") != std::string::npos &&
                 line.find("<" + folder + ">") != std::string::npos)
            steps += 'S';
    }
    // The header of an empty file when it is made; then syncs while it
    // records, each the samples, then the header that counts only them,
    // then the header synced, with the folder entry synced after the first;
    // at the end the last header, the file synced, the rename, and the
    // folder synced.
    EXPECT_TRUE(std::regex_match(steps, std::regex("H(DHD)S(DHD)+HFRS"))) << steps;
}

TEST_F(Render, TheSynthesisersControlsChangeTheSoundAndUnknownOnesAreRefusedByName) {
    song("tune.mid");
    auto samples = [&](const QStringList &more) {
        const Ran ran =
            render(QStringList{"-q", "0", "--tail", "1"} + more + QStringList{"tune.mid"});
        EXPECT_EQ(ran.exit, 0) << ran.said;
        return test::readWave(dir.path("tune.wav")).samples;
    };
    const std::vector<float> plain = samples({});
    // Unset, the synthesiser keeps its own defaults: reverb on, as before.
    EXPECT_EQ(samples({"--reverb", "on"}), plain);
    const std::vector<float> dry = samples({"--reverb", "off", "--chorus", "off"});
    ASSERT_EQ(dry.size(), plain.size());
    EXPECT_NE(dry, plain);
    // --gain 6 dB is twice the amplitude, once.
    auto peak = [](const std::vector<float> &s) {
        float most = 0;
        for (float v : s)
            most = std::max(most, std::fabs(v));
        return most;
    };
    const std::vector<float> louder = samples({"--gain", "6.0206"});
    EXPECT_NEAR(peak(louder) / peak(plain), 2.0, 0.05);
    EXPECT_NE(samples({"--polyphony", "1", "--interpolation", "none"}), plain);

    // Refused before anything records, with the setting's name.
    for (const QStringList &bad :
         {QStringList{"--synth-setting", "synth.no-such-thing=1"},
          QStringList{"--synth-setting", "synth.polyphony=many"}, QStringList{"--polyphony", "0"},
          QStringList{"--reverb", "loud"}, QStringList{"--interpolation", "cubic"},
          QStringList{"--gain", "x"}}) {
        SCOPED_TRACE(bad.join(' ').toStdString());
        std::filesystem::remove(dir.path("tune.wav"));
        const Ran ran = render(bad + QStringList{"tune.mid"});
        EXPECT_EQ(ran.exit, 2) << ran.said;
        const std::string named = bad[1].section('=', 0, 0).toStdString();
        EXPECT_NE(ran.said.find(bad[0] == "--synth-setting" ? named : bad[1].toStdString()),
                  std::string::npos)
            << ran.said;
        EXPECT_FALSE(std::filesystem::exists(dir.path("tune.wav")));
    }
    // A FluidSynth setting it knows is taken, as fluidsynth -o takes it.
    EXPECT_NE(samples({"--synth-setting", "synth.reverb.room-size=1.0"}), plain);
}

TEST_F(Render, StackedSoundFontsPlayAPresetThatOnlyTheSecondHolds) {
    // Bank 5, program 7: not in the General MIDI SoundFont, only in the
    // square wave's.
    test::writeFile(dir.path("square.sf2"), test::squareSoundFont(5, 7));
    test::TrackWriter track;
    track.delta(0).raw({0xB0, 0x00, 0x05}).delta(0).raw({0xC0, 0x07});
    track.delta(96).noteOn(0, 60, 127).delta(480).noteOff(0, 60).delta(96).end();
    test::writeFile(dir.path("bank.mid"), test::midiFile(0, 480, {track.bytes()}));
    const QString gm = QString::fromStdString(audio::findSoundFont({}, audio::readDevicesConfig()));
    ASSERT_FALSE(gm.isEmpty());
    // How square the note is: the share of its samples near full scale, and
    // its sign changes over 0.2 s to 0.5 s (a 441 Hz square changes 265 times).
    auto measure = [&](const QStringList &soundFonts, double &square, int &changes,
                       const char *song = "bank") {
        QStringList arguments{"-q", "0", "--tail", "0"};
        for (const QString &s : soundFonts)
            arguments << "--soundfont" << s;
        const Ran ran = render(arguments + QStringList{QString(song) + ".mid"});
        ASSERT_EQ(ran.exit, 0) << ran.said;
        const test::WaveData w = test::readWave(dir.path(std::string(song) + ".wav"));
        float peak = 0;
        for (float v : w.samples)
            peak = std::max(peak, std::fabs(v));
        int near = 0, count = 0;
        changes = 0;
        for (std::size_t i = std::size_t(0.2 * 44100); i < std::size_t(0.5 * 44100); ++i) {
            const float v = w.samples[2 * i], before = w.samples[2 * i - 2];
            near += std::fabs(v) > 0.6f * peak;
            changes += (v > 0) != (before > 0);
            ++count;
        }
        square = peak > 0 ? double(near) / count : 0;
    };
    double square = 0;
    int changes = 0;
    measure({gm, QString::fromStdString(dir.path("square.sf2"))}, square, changes);
    EXPECT_GT(square, 0.8);
    EXPECT_NEAR(changes, 265, 10);
    // Without it, the same note is not the square.
    measure({gm}, square, changes);
    EXPECT_LT(square, 0.5);

    // Where both hold the preset (bank 0, program 7), the first named plays it.
    test::writeFile(dir.path("square0.sf2"), test::squareSoundFont(0, 7));
    test::TrackWriter plain;
    plain.delta(0).raw({0xC0, 0x07});
    plain.delta(96).noteOn(0, 60, 127).delta(480).noteOff(0, 60).delta(96).end();
    test::writeFile(dir.path("plain.mid"), test::midiFile(0, 480, {plain.bytes()}));
    const QString square0 = QString::fromStdString(dir.path("square0.sf2"));
    measure({square0, gm}, square, changes, "plain");
    EXPECT_GT(square, 0.8);
    measure({gm, square0}, square, changes, "plain");
    EXPECT_LT(square, 0.5);
}

TEST_F(Render, AnAutomaticTailEndsWhereTheLastNoteHasRungOut) {
    // The last notes, strings, are released at the song's end and ring on
    // for seconds, falling from -70 to -90 dBFS over half a second.
    song("ring.mid", test::simpleSong({{0.1, 1.0, 48}, {0.1, 1.0, 60}}, 1.0, 48));
    ASSERT_EQ(render({"-q", "0", "--tail", "10", "ring.mid"}).exit, 0);
    const test::WaveData fixed = test::readWave(dir.path("ring.wav"));
    ASSERT_EQ(render({"-q", "0", "--tail", "auto", "ring.mid"}).exit, 0);
    const test::WaveData automatic = test::readWave(dir.path("ring.wav"));
    // Where the fixed tail first stays under -90 dBFS (one step of 16 bits,
    // what the dither leaves of silence) for 100 ms after the song's end.
    const long long songEnd = 44100, hold = 4410;
    const float quiet = 1.0f / 32768 + 1e-7f;
    long long still = -1, run = 0;
    for (long long i = songEnd; i < fixed.frames() && still < 0; ++i) {
        const bool under = std::fabs(fixed.samples[std::size_t(2 * i)]) <= quiet &&
                           std::fabs(fixed.samples[std::size_t(2 * i + 1)]) <= quiet;
        run = under ? run + 1 : 0;
        if (run == hold)
            still = i + 1 - hold;
    }
    ASSERT_GT(still, songEnd + 4410) << "the note does not ring";
    EXPECT_NEAR(double(automatic.frames()), double(still), 0.2 * 44100);
    // The same sound up to there, sample for sample.
    ASSERT_LE(automatic.frames(), fixed.frames());
    EXPECT_TRUE(
        std::equal(automatic.samples.begin(), automatic.samples.end(), fixed.samples.begin()));
    // Without --tail and without the window's delay, it is the default.
    ASSERT_EQ(render({"-q", "0", "ring.mid"}).exit, 0);
    EXPECT_EQ(test::readWave(dir.path("ring.wav")).frames(), automatic.frames());
}

TEST_F(Render, NormalisedFilesMeetTheirLoudnessAsAnOutsideMeterMeasuresIt) {
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not installed (scripts/install-deps installs it)";
    const std::string openMsx = "/usr/share/games/openttd/baseset/openmsx/";
    const QStringList files{"5432gone_redfarn", "train_filled_with_cash", "mosey_along_redfarn"};
    QStringList arguments{"-q",          "0",   "--tail",   "0",       "-j", "2",
                          "--normalize", "-16", "--report", "r.jsonl", "-o", "n"};
    for (const QString &f : files)
        arguments << QString::fromStdString(openMsx) + f + ".mid";
    const Ran ran = render(arguments);
    ASSERT_EQ(ran.exit, 0) << ran.said;
    const auto lines = report(dir.path("r.jsonl"));
    for (const QString &f : files) {
        SCOPED_TRACE(f.toStdString());
        // ffmpeg's own EBU R128 meter, with its true peak.
        QProcess meter;
        meter.start("ffmpeg", {"-hide_banner", "-nostats", "-i",
                               QString::fromStdString(dir.path("n/" + f.toStdString() + ".wav")),
                               "-af", "ebur128=peak=true", "-f", "null", "-"});
        ASSERT_TRUE(meter.waitForFinished(120000));
        const QString said = QString::fromUtf8(meter.readAllStandardError());
        const QString summary = said.mid(said.lastIndexOf("Summary:"));
        const QRegularExpression integrated(R"(I:\s+(-?[0-9.]+) LUFS)");
        const QRegularExpression peak(R"(Peak:\s+(-?[0-9.]+) dBFS)");
        const auto i = integrated.match(summary), p = peak.match(summary);
        ASSERT_TRUE(i.hasMatch() && p.hasMatch()) << summary.toStdString();
        EXPECT_NEAR(i.captured(1).toDouble(), -16.0, 0.2);
        EXPECT_LE(p.captured(1).toDouble(), -1.0 + 0.1);
        // The report says the same of it.
        const QJsonObject o = lines.at(openMsx + f.toStdString() + ".mid");
        EXPECT_NEAR(o["loudness_lufs"].toDouble(), i.captured(1).toDouble(), 0.2);
        EXPECT_LE(o["true_peak_dbtp"].toDouble(), -1.0 + 1e-6);
        EXPECT_EQ(o["clipped"].toInteger(), 0);
    }
}

TEST_F(Render, EveryFileReportsItsLevelsAndAFileThatClippedIsAWarning) {
    song("tune.mid");
    const Ran plain = render({"-q", "0", "--quiet", "--report", "r.jsonl", "tune.mid"});
    ASSERT_EQ(plain.exit, 0) << plain.said;
    QJsonObject o = report(dir.path("r.jsonl"))["tune.mid"];
    EXPECT_LT(o["peak_dbfs"].toDouble(), 0);
    EXPECT_LE(o["peak_dbfs"].toDouble(), o["true_peak_dbtp"].toDouble() + 1e-6);
    EXPECT_LT(o["loudness_lufs"].toDouble(), -10);
    EXPECT_EQ(o["clipped"].toInteger(), 0);
    EXPECT_TRUE(o["gain_db"].isNull());
    EXPECT_EQ(plain.said.find("WARNING"), std::string::npos) << plain.said;
    // 33 dB louder: it clips, and even --quiet says so.
    std::filesystem::remove(dir.path("r.jsonl"));
    const Ran loud =
        render({"-q", "0", "--quiet", "--gain", "33", "--report", "r.jsonl", "tune.mid"});
    ASSERT_EQ(loud.exit, 0) << loud.said;
    o = report(dir.path("r.jsonl"))["tune.mid"];
    EXPECT_GT(o["clipped"].toInteger(), 100);
    EXPECT_NE(loud.said.find("WARNING: tune.wav clipped"), std::string::npos) << loud.said;
}

TEST_F(Render, OneFilesRecordingGoesToStandardOutputAndNothingStays) {
    song("tune.mid");
    // Piped into sox, which reads the whole WAVE from its input.
    const std::string tmp = dir.path("tmp");
    std::filesystem::create_directory(tmp);
    const std::string command = "cd '" + dir.root() + "' && TMPDIR='" + tmp + "' '" +
                                paths::programFolder() +
                                "kestrune-render' -q 4 --tail 0 --quiet --report r.jsonl -o - "
                                "tune.mid | sox -t wav - -n stat 2> stat.txt";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream stat(dir.path("stat.txt"));
    const std::string said{std::istreambuf_iterator<char>(stat), {}};
    const auto at = said.find("Samples read:");
    ASSERT_NE(at, std::string::npos) << said;
    // Two channels of the song's frames at 22050 Hz.
    EXPECT_EQ(std::stoll(said.substr(at + 13)), 2 * songFrames(22050)) << said;
    EXPECT_EQ(report(dir.path("r.jsonl"))["tune.mid"]["output"].toString(), "-");
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
    EXPECT_FALSE(std::filesystem::exists(dir.path("tune.wav")));
    // One file only, and no MP3.
    EXPECT_EQ(render({"-o", "-", "tune.mid", "tune.mid"}).exit, 2);
    EXPECT_EQ(render({"-o", "-", "--mp3=/usr/bin/lame", "-q", "0", "tune.mid"}).exit, 2);
}
