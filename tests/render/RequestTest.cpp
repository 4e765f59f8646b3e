// The command line read without a process: what each option refuses, what
// is taken when nothing is said, and that reading it changes nothing on
// disk; a job made from it reads its song once.
#include "render/Request.h"
#include "render/Job.h"
#include "render/Renderer.h"
#include "support/MidiWriter.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

// Reads `words` as kestrune-render's command line over an empty settings file.
render::Request read(std::vector<std::string> words, const std::string &settings) {
    words.insert(words.begin(), "kestrune-render");
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return render::parseCommandLine(int(words.size()), argv.data(), settings);
}

} // namespace

TEST(CommandLine, EachOptionRefusesWhatItCannotTakeByName) {
    const test::TempDir dir;
    const std::string settings = dir.path("Kestrune.ini");
    const struct {
        std::vector<std::string> words;
        const char *says;
    } refused[] = {
        {{"--bogus", "a.mid"}, "unknown option --bogus"},
        {{"a.mid", "--tail"}, "the option --tail needs a value"},
        {{}, "no MIDI file given"},
        {{"-q", "12", "a.mid"}, "unknown recording quality \"12\""},
        {{"--format", "mod", "a.mid"}, "--format takes wav, rf64, w64, flac, ogg, opus"},
        {{"--bits", "20", "a.mid"}, "--bits takes 8, 16, 24, 32 or float, not \"20\""},
        {{"--tail", "nan", "a.mid"}, "--tail must be auto or a number of seconds"},
        {{"--normalize", "3", "a.mid"}, "--normalize takes LUFS from -70 to 0, not \"3\""},
        {{"--gain", "61", "a.mid"}, "--gain takes decibels from -60 to 60"},
        {{"--dither", "maybe", "a.mid"}, "--dither takes on or off, not \"maybe\""},
        {{"--reset", "gx", "--live", "a.mid"}, "--reset takes gm, gs, xg, mt32 or none"},
        {{"--text-encoding", "ascii", "a.mid"}, "auto, utf-8, shift-jis or latin-1"},
        {{"--stems=wet", "a.mid"}, "--stems takes nothing, only, dry or dry,only"},
        {{"--mute", "17", "a.mid"}, "--mute takes channels 1 to 16"},
        {{"--program", "1=128", "a.mid"}, "--program takes CHANNEL=PROGRAM[:BANK]"},
        {{"-j", "0", "a.mid"}, "--jobs must be between 1 and 1024"},
        {{"--shard", "4/4", "a.mid"}, "--shard K/N needs 0 <= K < N"},
        {{"--synth-setting", "synth.nothing=1", "a.mid"}, "synth.nothing"},
        {{"--input", "jack:x", "a.mid"}, "--input is for --live and --level-check"},
        {{"--live", "--stems", "a.mid"}, "--stems is refused"},
        {{"--live", "-j", "2", "a.mid"}, "-j is refused"},
        {{"-o", "one.wav", "a.mid", "b.mid"}, "names one file's output; 2 files were given"},
        {{"-o", "-", "--stems", "a.mid"}, "the stems need a folder"},
        {{"--mp3=/bin/sh", "-q", "1", "a.mid"}, "MP3 encoding needs the high-quality format"},
        {{"--mp3=/bin/sh", "--stems", "only", "a.mid"}, "--stems only writes no WAVE file"},
        {{"--soundfont", "missing.sf2", "a.mid"}, "the SoundFont \"missing.sf2\" does not exist"},
        {{"--from-report", "r.jsonl"}, "--from-report makes a page: give --report-page"},
        {{"--from-report", "r.jsonl", "--report-page", "p.html", "a.mid"}, "no MIDI file is taken"},
        {{"--loops", "0", "a.mid"}, "--loops must be between 1 and 1000"},
        {{"--loops", "2", "--loop", "5:1", "a.mid"}, "--loop takes FROM-TO in seconds"},
        {{"--loops", "2", "--loop", "1:0-3:1", "a.mid"}, "(5:1-37:1), not \"1:0-3:1\""},
        {{"--loops", "2", "--fade=0", "a.mid"}, "--fade takes seconds from 0.1 to 600"},
        {{"--fade", "a.mid"}, "--fade needs --loops"},
        {{"--loop", "1-2", "a.mid"}, "--loop needs --loops"},
        {{"--loop-file", "--format", "w64", "a.mid"},
         "(wav, rf64, aiff, flac, ogg or opus); w64 marks none"},
        {{"--loop-file", "--loops", "2", "a.mid"}, "--loops and --fade are refused"},
    };
    for (const auto &r : refused) {
        std::string said;
        try {
            read(r.words, settings);
        } catch (const render::UsageError &e) {
            said = e.what();
        }
        EXPECT_NE(said.find(r.says), std::string::npos)
            << (r.words.empty() ? "" : r.words.front()) << ": " << said;
    }
}

TEST(CommandLine, WhatIsNotSaidComesFromTheWindowAndNothingIsMadeOnDisk) {
    const test::TempDir dir;
    const std::string settings = dir.path("Kestrune.ini");
    const render::Request plain = read({"a.mid"}, settings);
    EXPECT_EQ(plain.encoding.container, render::Container::Wav);
    EXPECT_EQ(plain.encoding.format.sampleRate, 44100);
    EXPECT_EQ(plain.encoding.format.bitsPerSample, 16);
    EXPECT_EQ(plain.encoding.format.channels, 2);
    EXPECT_TRUE(plain.tailAuto);
    EXPECT_EQ(plain.jobs, int(std::thread::hardware_concurrency()));
    EXPECT_TRUE(plain.dither);
    EXPECT_TRUE(plain.keepInterrupted);
    EXPECT_FALSE(plain.stems || plain.live || plain.normalize || plain.options.encode);
    EXPECT_EQ(plain.reset, "gm");
    EXPECT_EQ(render::outputOf(plain, "songs/a.mid"), "songs/a.wav");

    // "--stems only" takes its word; -o names a folder that is made only
    // when the batch is about to record.
    const std::string folder = dir.path("out/deeper");
    const render::Request stems =
        read({"--stems", "dry,only", "-o", folder, "--format", "flac", "a.mid"}, settings);
    EXPECT_TRUE(stems.stems && stems.stemsOnly && stems.dryStems);
    EXPECT_EQ(stems.files, std::vector<std::string>{"a.mid"});
    EXPECT_EQ(render::outputOf(stems, "songs/a.mid"), folder + "/a.flac");
    EXPECT_FALSE(std::filesystem::exists(dir.path("out")));
    render::makeOutputFolders(stems);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST(Job, ASongIsReadOnceAndRecordedFromTheJobAfterItsFileIsGone) {
    // Two ports (a track each), a piano on each port's channel 1; the
    // title "曲" in Shift-JIS (0x8B 0xC8).
    const test::TempDir dir;
    auto track = [](int port, const std::string &name) {
        test::TrackWriter t;
        t.delta(0).raw({0xFF, 0x21, 0x01, std::uint8_t(port)});
        t.delta(0).raw({0xFF, 0x03, std::uint8_t(name.size())});
        for (const char c : name)
            t.raw({std::uint8_t(c)});
        t.delta(0).program(0, 0).delta(0).noteOn(0, 60 + 7 * port, 100).delta(240).end();
        return t.bytes();
    };
    test::writeFile(dir.path("two.mid"),
                    test::midiFile(1, 480, {track(0, "\x8B\xC8"), track(1, "Bass")}));
    const std::string settings = dir.path("Kestrune.ini");
    const render::Request request =
        read({"--stems", "--tail", "0", "-o", dir.path("out"), dir.path("two.mid")}, settings);
    const render::Job job = render::makeJob(request, dir.path("two.mid"));
    std::filesystem::remove(dir.path("two.mid"));

    ASSERT_TRUE(job.song);
    EXPECT_EQ(job.song->ports, 2);
    EXPECT_EQ(job.tags.title, "曲");
    std::vector<std::string> stems;
    for (const render::StemOutput &stem : job.stems)
        stems.push_back(stem.path.substr(stem.path.rfind('/') + 1));
    EXPECT_EQ(stems, (std::vector<std::string>{"A01 曲.wav", "B01 Bass.wav"}));
    render::makeOutputFolders(request);
    render::Renderer renderer(request);
    const std::atomic<bool> stop{false};
    const render::Result result = renderer.render(job, nullptr, stop);
    EXPECT_EQ(result.status, render::Result::Status::Ok) << result.error;
    EXPECT_EQ(result.stems.size(), 2u);
    EXPECT_TRUE(std::filesystem::exists(dir.path("out/two.wav")));
}
