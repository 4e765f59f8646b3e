// Songs that loop: the loop each convention marks, or --loop names, and
// the marks that make none; the loop played N times sounds as the song
// written out N times, and fades out on into the loop.
#include "render/Loop.h"
#include "render/RenderFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sndfile.h>

namespace {

// An event at a millisecond: the songs here run at 500 ticks a quarter and
// 120 bpm, a tick a millisecond.
struct At {
    int ms;
    test::Bytes bytes;
};

test::Bytes text(int type, const std::string &words) {
    test::Bytes b{0xFF, std::uint8_t(type), std::uint8_t(words.size())};
    for (const char c : words)
        b.push_back(std::uint8_t(c));
    return b;
}
test::Bytes controller(int number) {
    return {0xB0, std::uint8_t(number), 0};
}
test::Bytes on(int key) {
    return {0x90, std::uint8_t(key), 100};
}
test::Bytes off(int key) {
    return {0x80, std::uint8_t(key), 0};
}

test::Bytes songOf(std::vector<At> events, int endMs) {
    std::stable_sort(events.begin(), events.end(),
                     [](const At &a, const At &b) { return a.ms < b.ms; });
    test::TrackWriter track;
    track.delta(0).tempo(500000).delta(0).program(0, test::kSquareLead);
    int now = 0;
    for (const At &e : events) {
        track.delta(std::uint32_t(e.ms - now)).raw(e.bytes);
        now = e.ms;
    }
    track.delta(std::uint32_t(endMs - now)).end();
    return test::midiFile(0, 500, {track.bytes()});
}

audio::MidiSong parsed(const test::Bytes &bytes) {
    return audio::parseMidiFile(bytes.data(), bytes.size());
}

// An intro, a loop of `loopMs` from 1 s whose last note is held over its
// end into the ending, and the ending's own note.
std::vector<At> loopOf(int loopMs) {
    return {{1000, on(64)},
            {1600, off(64)},
            {1800, on(67)},
            {2400, off(67)},
            {1000 + loopMs - 400, on(72)}};
}
std::vector<At> markedSong(int loopMs) {
    const int end = 1000 + loopMs;
    std::vector<At> marked = {{0, on(60)},
                              {800, off(60)},
                              {1000, text(6, "loopStart")},
                              {end, text(6, "loopEnd")},
                              {end + 400, off(72)},
                              {end + 500, on(55)},
                              {end + 900, off(55)}};
    const std::vector<At> loop = loopOf(loopMs);
    marked.insert(marked.end(), loop.begin(), loop.end());
    return marked;
}
// A loop of 2.56 s: a whole number of the synthesiser's 64-frame blocks at
// 44100 Hz, which its passes then lie apart by, as written out.
constexpr int kLoopMs = 2560, kEndMs = 1000 + kLoopMs;

// The energy of a stretch of a recording (seconds), as doubles.
double energy(const test::WaveData &w, double from, double to) {
    double sum = 0;
    for (std::size_t i = std::size_t(from * 44100) * 2; i < std::size_t(to * 44100) * 2; ++i)
        sum += double(w.samples[i]) * w.samples[i];
    return sum;
}

// The sampler loop of a WAVE or RF64 file: its first and last frame.
std::pair<std::int64_t, std::int64_t> samplerLoop(const std::string &path) {
    const std::string bytes = test::readFile(path);
    auto le32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = v << 8 | std::uint8_t(bytes[at + std::size_t(i)]);
        return v;
    };
    for (std::size_t at = 12; at + 8 <= bytes.size(); at += 8 + le32(at + 4) + (le32(at + 4) & 1))
        if (bytes.compare(at, 4, "smpl") == 0 && le32(at + 8 + 28) == 1)
            return {le32(at + 8 + 36 + 8), le32(at + 8 + 36 + 12)};
    return {-1, -1};
}

} // namespace

TEST(Loop, EachConventionMarksItsLoopAndMarksThatMakeNoneAreRefused) {
    const std::vector<At> notes = {{0, on(60)}, {900, off(60)}};
    auto with = [&](std::vector<At> marks) {
        marks.insert(marks.end(), notes.begin(), notes.end());
        return marks;
    };
    // 3/4, then 6/8 from bar 3 (a bar of 1.5 s either way), then twice as
    // fast from 4 s: bar 4 begins at 4.25 s, its third eighth at 4.5 s.
    const std::vector<At> meters = {{0, {0xFF, 0x58, 4, 3, 2, 24, 8}},
                                    {3000, {0xFF, 0x58, 4, 6, 3, 24, 8}},
                                    {4000, {0xFF, 0x51, 3, 0x03, 0xD0, 0x90}}};
    const struct {
        const char *what;
        std::vector<At> events;
        const char *loop; // --loop, or null for the song's own
        std::int64_t startMs, endMs;
        const char *refused; // what the refusal says, or null
    } cases[] = {
        {"controller 111", with({{2000, controller(111)}}), nullptr, 2000, 6000, nullptr},
        {"markers", with({{1000, text(6, "LoopStart")}, {5000, text(1, "LOOPEND")}}), nullptr, 1000,
         5000, nullptr},
        {"markers over 111",
         with({{3000, text(6, "loopStart")}, {2000, controller(111)}, {4000, text(6, "loopEnd")}}),
         nullptr, 3000, 4000, nullptr},
        {"EMIDI", with({{1500, controller(116)}, {4500, controller(117)}}), nullptr, 1500, 4500,
         nullptr},
        {"seconds", notes, "1.25-3.5", 1250, 3500, nullptr},
        {"bars and beats", meters, "2:2-4:3", 2000, 4500, nullptr},
        {"no loop", notes, nullptr, -1, -1, nullptr},
        {"an end first", with({{1000, text(6, "loopEnd")}, {3000, text(6, "loopStart")}}), nullptr,
         0, 0, "its loopEnd marker at 1.000 s comes before its loopStart marker at 3.000 s"},
        {"no end", with({{1000, text(6, "loopStart")}}), nullptr, 0, 0,
         "its loopStart marker at 1.000 s has no loopEnd marker after it"},
        {"116 alone", with({{1000, controller(116)}}), nullptr, 0, 0,
         "its controller 116 (the loop's start) at 1.000 s has no controller 117"},
        {"111 at the end", with({{6000, controller(111)}}), nullptr, 0, 0,
         "controller 111 (the loop's start) at 6.000 s is at the song's end"},
        {"past the end", notes, "1-99", 0, 0, "--loop ends at 99.000 s, after the song's end"},
        {"backwards", notes, "3-1", 0, 0, "--loop ends at 1.000 s, not after its start"},
        {"no such bar", meters, "2:1-40:1", 0, 0, "--loop names bar 40, but the song has 5 bars"},
        {"no such beat", meters, "2:4-4:1", 0, 0, "--loop names beat 2:4, but bar 2 has 3 beats"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const audio::MidiSong song = parsed(songOf(c.events, 6000));
        const std::optional<render::LoopRequest> given =
            c.loop ? render::parseLoop(c.loop) : std::nullopt;
        ASSERT_EQ(c.loop != nullptr, given.has_value());
        std::optional<render::Loop> loop;
        const std::string why = render::findLoop(song, given ? &*given : nullptr, loop);
        if (c.refused) {
            EXPECT_NE(why.find(c.refused), std::string::npos) << why;
            EXPECT_FALSE(loop);
        } else if (c.startMs < 0) {
            EXPECT_EQ(why, "");
            EXPECT_FALSE(loop);
        } else {
            EXPECT_EQ(why, "");
            ASSERT_TRUE(loop);
            EXPECT_EQ(loop->startUs, c.startMs * 1000);
            EXPECT_EQ(loop->endUs, c.endMs * 1000);
        }
    }
}

TEST_F(Render, ALoopPlayedThreeTimesSoundsAsTheSongWrittenOutAndFadesOnIntoTheLoop) {
    // Written out: each pass but the last ends the held note at its end.
    std::vector<At> written = {{0, on(60)}, {800, off(60)}};
    for (int pass = 0; pass < 3; ++pass) {
        if (pass > 0)
            written.push_back({1000 + kLoopMs * pass, off(72)});
        for (const At &e : loopOf(kLoopMs))
            written.push_back({e.ms + kLoopMs * pass, e.bytes});
    }
    for (const At &e : std::vector<At>{{kEndMs + 2 * kLoopMs + 400, off(72)},
                                       {kEndMs + 2 * kLoopMs + 500, on(55)},
                                       {kEndMs + 2 * kLoopMs + 900, off(55)}})
        written.push_back(e);
    song("marked.mid", songOf(markedSong(kLoopMs), kEndMs + 1000));
    song("written.mid", songOf(written, kEndMs + 2 * kLoopMs + 1000));
    const QStringList format = {"-q", "44100/float/stereo", "--tail", "1"};
    ASSERT_EQ(render(format + QStringList{"--loops", "3", "-o", "looped.wav", "marked.mid"}).exit,
              0);
    ASSERT_EQ(render(format + QStringList{"-o", "written.wav", "written.mid"}).exit, 0);
    const Ran faded = render(
        {"-q", "44100/float/stereo", "--loops", "2", "--fade", "-o", "faded.wav", "marked.mid"});
    ASSERT_EQ(faded.exit, 0) << faded.said;
    const test::WaveData looped = test::readWave(dir.path("looped.wav"));
    const test::WaveData out = test::readWave(dir.path("written.wav"));
    ASSERT_EQ(looped.samples.size(), out.samples.size());
    double most = 0, loudest = 0;
    for (std::size_t i = 0; i < out.samples.size(); ++i) {
        most = std::max(most, double(std::fabs(looped.samples[i] - out.samples[i])));
        loudest = std::max(loudest, double(std::fabs(out.samples[i])));
    }
    EXPECT_GT(loudest, 0.05);
    EXPECT_LT(most, 1e-6);

    // Two passes, then 8 s on into the loop fading out, and no tail: as the
    // written-out song until the fade; then its third pass again and again
    // under a raised cosine; silent at its end.
    const double fadeFrom = kEndMs / 1000.0 + kLoopMs / 1000.0, end = fadeFrom + 8;
    const test::WaveData f = test::readWave(dir.path("faded.wav"));
    ASSERT_EQ(f.samples.size(), std::size_t(std::llround(end * 44100)) * 2);
    for (std::size_t i = 0; i < std::size_t(fadeFrom * 44100) * 2; ++i)
        ASSERT_NEAR(f.samples[i], out.samples[i], 1e-6) << i;
    for (const int pass : {0, 1, 2}) {
        const double from = fadeFrom + pass * kLoopMs / 1000.0;
        double sum = 0;
        for (std::size_t i = 0; i < std::size_t(0.6 * 44100) * 2; ++i) {
            const double x = (from + double(i / 2) / 44100 - fadeFrom) / 8;
            const double v =
                0.5 * (1 + std::cos(M_PI * x)) * out.samples[std::size_t(fadeFrom * 44100) * 2 + i];
            sum += v * v;
        }
        EXPECT_NEAR(energy(f, from, from + 0.6) / sum, 1, 0.01) << "pass " << pass + 3;
    }
    EXPECT_LT(energy(f, end - 0.1, end), 1e-8 * energy(out, fadeFrom, fadeFrom + 0.6));
}

TEST_F(Render, ALoopFilesPassRepeatsWithoutASeamAndIsMarkedWherePlayersLook) {
    // A loop of 2.5 s, its passes 1723 blocks apart at 44100 Hz (2.5005 s),
    // 1875 at 48000 Hz (2.5 s).
    constexpr int loopMs = 2500;
    auto period = [](int rate) { return std::llround(loopMs * rate / 1000.0 / 64) * 64; };
    song("marked.mid", songOf(markedSong(loopMs), 1000 + loopMs + 1000));
    // Without the reverb, whose delay lines are modulated, each pass is the
    // last one's to the sample, but for the ring-out it begins with.
    const QStringList format = {"-q", "44100/float/stereo", "--tail", "0", "--reverb", "off"};
    ASSERT_EQ(render(format + QStringList{"--loops", "3", "-o", "looped.wav", "marked.mid"}).exit,
              0);
    const Ran made = render(format + QStringList{"--loop-file", "-o", "loop.wav", "--report",
                                                 "report.jsonl", "marked.mid"});
    ASSERT_EQ(made.exit, 0) << made.said;
    // The intro's second, then one pass of the loop: followed by itself, as
    // the second and third passes of the loop played on.
    const test::WaveData file = test::readWave(dir.path("loop.wav"));
    const test::WaveData looped = test::readWave(dir.path("looped.wav"));
    const std::size_t pass = std::size_t(period(44100)) * 2, intro = 44100 * 2;
    ASSERT_EQ(file.samples.size(), intro + pass);
    double residual = 0, level = 0;
    for (std::size_t i = 0; i < 2 * pass; ++i) {
        const double d = file.samples[intro + i % pass] - looped.samples[intro + pass + i];
        residual += d * d;
        level += double(looped.samples[intro + pass + i]) * looped.samples[intro + pass + i];
    }
    const double residualDb = 10 * std::log10(residual / level);
    EXPECT_LT(residualDb, -70) << "the seam's residual against the loop played on";
    const QJsonObject line = report(dir.path("report.jsonl")).begin()->second;
    EXPECT_EQ(line["loop_start_frames"].toInt(), 44100);
    EXPECT_EQ(line["loop_length_frames"].toInt(), period(44100));
    EXPECT_EQ(samplerLoop(dir.path("loop.wav")),
              std::make_pair(std::int64_t(44100), std::int64_t(44100 + period(44100) - 1)));

    // Each container that marks a loop, read back by another reader.
    const bool ffprobe = test::runProgram({"ffprobe", "-version"}).exit == 0;
    const struct {
        const char *format;
        const char *file;
        int rate;
    } containers[] = {{"rf64", "loop.rf64.wav", 44100},
                      {"aiff", "loop.aiff", 44100},
                      {"flac", "loop.flac", 44100},
                      {"ogg", "loop.ogg", 44100},
                      {"opus", "loop.opus", 48000}};
    for (const auto &c : containers) {
        SCOPED_TRACE(c.format);
        const Ran ran = render({"--loop-file", "--format", c.format, "-o", c.file, "marked.mid"});
        ASSERT_EQ(ran.exit, 0) << ran.said;
        const std::string path = dir.path(c.file);
        const std::int64_t start = c.rate, length = period(c.rate);
        if (std::string(c.format) == "rf64") {
            EXPECT_EQ(samplerLoop(path), std::make_pair(start, start + length - 1));
        } else if (std::string(c.format) == "aiff") {
            SF_INFO info{};
            SNDFILE *aiff = sf_open(path.c_str(), SFM_READ, &info);
            ASSERT_NE(aiff, nullptr);
            SF_INSTRUMENT instrument{};
            EXPECT_EQ(sf_command(aiff, SFC_GET_INSTRUMENT, &instrument, sizeof instrument),
                      SF_TRUE);
            EXPECT_EQ(info.frames, start + length);
            EXPECT_EQ(instrument.loops[0].mode, SF_LOOP_FORWARD);
            EXPECT_EQ(instrument.loops[0].start, start);
            EXPECT_EQ(instrument.loops[0].end, start + length);
            sf_close(aiff);
        } else if (ffprobe) {
            const test::Ran tags =
                test::runProgram({"ffprobe", "-v", "error", "-show_entries",
                                  "format_tags:stream_tags", "-of", "flat", path});
            const std::string said = tags.output;
            for (const std::string &tag : {"LOOPSTART=\"" + std::to_string(start) + "\"",
                                           "LOOPLENGTH=\"" + std::to_string(length) + "\""})
                EXPECT_NE(said.find(tag), std::string::npos) << said;
            EXPECT_EQ(
                test::runProgram({"ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"}).said,
                "");
        }
    }
}
