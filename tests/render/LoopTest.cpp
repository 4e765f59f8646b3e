// Songs that loop: the loop each convention marks, or --loop names, and
// the marks that make none; the loop played N times sounds as the song
// written out N times, and fades out on into the loop.
#include "render/Loop.h"
#include "render/RenderFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

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
    // An intro, a loop from 1 s to 3 s whose last note is held over its end
    // into the ending, and the ending's own note.
    const std::vector<At> loop = {
        {1000, on(64)}, {1600, off(64)}, {1800, on(67)}, {2400, off(67)}, {2600, on(72)}};
    std::vector<At> marked = {{0, on(60)},
                              {800, off(60)},
                              {1000, text(6, "loopStart")},
                              {3000, text(6, "loopEnd")},
                              {3400, off(72)},
                              {3500, on(55)},
                              {3900, off(55)}};
    marked.insert(marked.end(), loop.begin(), loop.end());
    // Written out: each pass but the last ends the held note at its end.
    std::vector<At> written = {{0, on(60)}, {800, off(60)}};
    for (int pass = 0; pass < 3; ++pass) {
        if (pass > 0)
            written.push_back({1000 + 2000 * pass, off(72)});
        for (const At &e : loop)
            written.push_back({e.ms + 2000 * pass, e.bytes});
    }
    for (const At &e : std::vector<At>{{7400, off(72)}, {7500, on(55)}, {7900, off(55)}})
        written.push_back(e);
    song("marked.mid", songOf(marked, 4000));
    song("written.mid", songOf(written, 8000));
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

    // Two passes, then 8 s on into the loop fading out: 13 s, no tail; as
    // the written-out song until the fade, half as loud in its middle, and
    // silent at its end.
    const test::WaveData f = test::readWave(dir.path("faded.wav"));
    ASSERT_EQ(f.samples.size(), std::size_t(13 * 44100 * 2));
    auto energy = [](const test::WaveData &w, double from, double to) {
        double sum = 0;
        for (std::size_t i = std::size_t(from * 44100) * 2; i < std::size_t(to * 44100) * 2; ++i)
            sum += double(w.samples[i]) * w.samples[i];
        return sum;
    };
    for (std::size_t i = 0; i < std::size_t(5 * 44100 * 2); ++i)
        ASSERT_NEAR(f.samples[i], out.samples[i], 1e-6) << i;
    // The loop's first 0.6 s again, from 7 s and from 9 s: as the written
    // song's from 5 s, under the fade (a raised cosine from 5 s to 13 s).
    auto fadedAsWritten = [&](double from) {
        double sum = 0;
        for (std::size_t i = 0; i < std::size_t(0.6 * 44100) * 2; ++i) {
            const double x = (from + double(i / 2) / 44100 - 5) / 8;
            const double gain = 0.5 * (1 + std::cos(M_PI * x));
            const double v = gain * out.samples[std::size_t(5 * 44100) * 2 + i];
            sum += v * v;
        }
        return sum;
    };
    for (const double from : {7.0, 9.0})
        EXPECT_NEAR(energy(f, from, from + 0.6) / fadedAsWritten(from), 1, 0.1) << from;
    const double full = energy(out, 5.0, 5.6);
    EXPECT_LT(energy(f, 12.9, 13.0), 1e-8 * full);
}
