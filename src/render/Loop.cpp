// Finding a song's loop and playing it several times.
#include "render/Loop.h"

#include "engine/SequencerDevice.h"
#include "engine/Synthesiser.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace render {
namespace {

// The shortest loop played: shorter ones are a marker out of place.
constexpr std::int64_t kShortestLoopUs = 100000;

std::string timeText(std::int64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", double(us) / 1e6);
    return text;
}

std::optional<SongPoint> parsePoint(const std::string &text) {
    SongPoint point;
    char *end = nullptr;
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        point.seconds = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(point.seconds >= 0 && point.seconds <= 86400))
            return std::nullopt;
        return point;
    }
    point.inBars = true;
    const std::string bar = text.substr(0, colon), beat = text.substr(colon + 1);
    const long b = std::strtol(bar.c_str(), &end, 10);
    if (bar.empty() || *end != '\0' || b < 1 || b > 1000000)
        return std::nullopt;
    const long n = std::strtol(beat.c_str(), &end, 10);
    if (beat.empty() || *end != '\0' || n < 1 || n > 32)
        return std::nullopt;
    point.bar = int(b);
    point.beat = int(n);
    return point;
}

// Where `point` lies in `song`, or why it lies nowhere.
std::string timeOf(const audio::MidiSong &song, const SongPoint &point, std::int64_t &us) {
    if (!point.inBars) {
        us = std::llround(point.seconds * 1e6);
        return {};
    }
    const std::string name = std::to_string(point.bar) + ":" + std::to_string(point.beat);
    if (song.bars.empty())
        return "--loop " + name + " counts bars, but the song counts time in SMPTE frames";
    if (std::size_t(point.bar) > song.bars.size())
        return "--loop names bar " + std::to_string(point.bar) + ", but the song has " +
               std::to_string(song.bars.size()) + " bars";
    const std::vector<std::int64_t> &beats = song.bars[std::size_t(point.bar - 1)];
    if (std::size_t(point.beat) > beats.size())
        return "--loop names beat " + name + ", but bar " + std::to_string(point.bar) + " has " +
               std::to_string(beats.size()) + " beats";
    us = beats[std::size_t(point.beat - 1)];
    return {};
}

// A convention's start and end marks: the first start, and the first end
// after it; or why they make no loop.
struct Marks {
    std::optional<std::int64_t> start, end, endBefore; // an end before any start
};

std::string loopOfMarks(const Marks &marks, const std::string &start, const std::string &end,
                        std::optional<Loop> &loop) {
    if (!marks.start) {
        return "its " + end + " at " + timeText(*marks.endBefore) + " has no " + start +
               " before it";
    }
    if (!marks.end) {
        if (marks.endBefore)
            return "its " + end + " at " + timeText(*marks.endBefore) + " comes before its " +
                   start + " at " + timeText(*marks.start);
        return "its " + start + " at " + timeText(*marks.start) + " has no " + end + " after it";
    }
    loop = Loop{*marks.start, *marks.end};
    return {};
}

bool isController(const audio::MidiEvent &e, int controller) {
    return (e.status & 0xF0) == 0xB0 && e.data1 == controller;
}

} // namespace

std::optional<LoopRequest> parseLoop(const std::string &text) {
    // The dash that parts them: the first one past the first character.
    const std::size_t dash = text.find('-', 1);
    if (dash == std::string::npos)
        return std::nullopt;
    const std::optional<SongPoint> from = parsePoint(text.substr(0, dash));
    const std::optional<SongPoint> to = parsePoint(text.substr(dash + 1));
    if (!from || !to)
        return std::nullopt;
    return LoopRequest{*from, *to};
}

std::string findLoop(const audio::MidiSong &song, const LoopRequest *given,
                     std::optional<Loop> &loop) {
    loop.reset();
    std::string why;
    if (given) {
        Loop asked;
        if (!(why = timeOf(song, given->from, asked.startUs)).empty() ||
            !(why = timeOf(song, given->to, asked.endUs)).empty())
            return why;
        if (asked.endUs <= asked.startUs)
            return "--loop ends at " + timeText(asked.endUs) + ", not after its start at " +
                   timeText(asked.startUs);
        if (asked.endUs > song.lengthUs)
            return "--loop ends at " + timeText(asked.endUs) + ", after the song's end at " +
                   timeText(song.lengthUs);
        loop = asked;
    } else if (!song.loopMarks.empty()) {
        Marks marks;
        for (const audio::MidiSong::LoopMark &mark : song.loopMarks) {
            if (mark.start && !marks.start)
                marks.start = mark.timeUs;
            else if (!mark.start && marks.start && mark.timeUs > *marks.start && !marks.end)
                marks.end = mark.timeUs;
            else if (!mark.start && !marks.start && !marks.endBefore)
                marks.endBefore = mark.timeUs;
        }
        why = loopOfMarks(marks, "loopStart marker", "loopEnd marker", loop);
    } else if (std::any_of(song.events.begin(), song.events.end(), [](const audio::MidiEvent &e) {
                   return isController(e, 116) || isController(e, 117);
               })) {
        Marks marks;
        for (const audio::MidiEvent &e : song.events) {
            if (isController(e, 116) && !marks.start)
                marks.start = e.timeUs;
            else if (isController(e, 117) && marks.start && e.timeUs > *marks.start && !marks.end)
                marks.end = e.timeUs;
            else if (isController(e, 117) && !marks.start && !marks.endBefore)
                marks.endBefore = e.timeUs;
        }
        why = loopOfMarks(marks, "controller 116 (the loop's start)",
                          "controller 117 (the loop's end)", loop);
    } else {
        const auto start =
            std::find_if(song.events.begin(), song.events.end(),
                         [](const audio::MidiEvent &e) { return isController(e, 111); });
        if (start == song.events.end())
            return {};
        if (start->timeUs >= song.lengthUs)
            return "its controller 111 (the loop's start) at " + timeText(start->timeUs) +
                   " is at the song's end: nothing follows it to loop";
        loop = Loop{start->timeUs, song.lengthUs};
    }
    if (loop && loop->lengthUs() < kShortestLoopUs) {
        why = "its loop from " + timeText(loop->startUs) + " to " + timeText(loop->endUs) +
              " is shorter than a tenth of a second";
        loop.reset();
    }
    return why;
}

Loop alignedToBlocks(Loop loop, int rate) {
    constexpr double kBlock = audio::Synthesiser::kBlockFrames;
    const double blocks = std::max(1.0, std::round(double(loop.lengthUs()) * rate / 1e6 / kBlock));
    loop.periodUs = blocks * kBlock * 1e6 / rate;
    loop.rate = rate;
    return loop;
}

audio::MidiSong expandLoop(const audio::MidiSong &song, const Loop &loop, int passes,
                           std::optional<std::int64_t> onIntoUs) {
    audio::MidiSong out = song;
    out.events.clear();
    out.loopMarks.clear();
    out.bars.clear(); // the song's bars no longer tell where the music is
    // Where pass `k` (from 0) lies after the first.
    auto shiftOf = [&loop](std::int64_t k) { return std::llround(double(k) * loop.period()); };
    auto from = [&](std::int64_t us) {
        return std::lower_bound(
            song.events.begin(), song.events.end(), us,
            [](const audio::MidiEvent &e, std::int64_t t) { return e.timeUs < t; });
    };
    // The notes sounding, by port, channel and key.
    std::vector<bool> sounding(std::size_t(audio::kMaxPorts) * 16 * 128);
    // A later pass's event, on the frame its period puts it on: its time
    // moved into that frame's microseconds, where rounding left it outside.
    const std::int64_t periodFrames =
        loop.rate > 0 ? std::llround(loop.period() * loop.rate / 1e6) : 0;
    auto placed = [&](std::int64_t us, std::int64_t shift, std::int64_t pass) {
        if (loop.rate <= 0 || pass == 0)
            return us + shift;
        const std::int64_t frame = audio::songFrameOf(us, loop.rate) + pass * periodFrames;
        const std::int64_t first = (frame * 1000000 + loop.rate - 1) / loop.rate;
        const std::int64_t next = ((frame + 1) * 1000000 + loop.rate - 1) / loop.rate;
        return std::clamp(us + shift, first, next - 1);
    };
    auto copy = [&](const audio::MidiEvent &e, std::int64_t shift, std::int64_t pass = 0) {
        audio::MidiEvent moved = e;
        moved.timeUs = placed(e.timeUs, shift, pass);
        const int kind = e.status & 0xF0;
        if (kind == 0x90 || kind == 0x80)
            sounding[std::size_t((e.port * 16 + (e.status & 0x0F)) * 128 + e.data1)] =
                kind == 0x90 && e.data2 > 0;
        out.events.push_back(moved);
    };
    auto endNotes = [&](std::int64_t at) {
        for (std::size_t i = 0; i < sounding.size(); ++i)
            if (sounding[i]) {
                audio::MidiEvent off;
                off.timeUs = at;
                off.port = std::uint8_t(i / (16 * 128));
                off.status = std::uint8_t(0x80 | (i / 128 % 16));
                off.data1 = std::uint8_t(i % 128);
                out.events.push_back(off);
                sounding[i] = false;
            }
    };
    const auto loopStart = from(loop.startUs), loopEnd = from(loop.endUs);
    for (auto e = song.events.begin(); e != loopEnd; ++e)
        copy(*e, 0);
    const bool onInto = onIntoUs.has_value();
    const std::int64_t songEnd = loop.startUs + shiftOf(passes) + onIntoUs.value_or(0);
    for (int pass = 1; pass < passes || (onInto && loop.startUs + shiftOf(pass) < songEnd);
         ++pass) {
        const std::int64_t shift = shiftOf(pass);
        endNotes(placed(loop.startUs, shift, pass));
        for (auto e = loopStart; e != loopEnd && (!onInto || e->timeUs + shift < songEnd); ++e)
            copy(*e, shift, pass);
    }
    if (onInto) {
        out.lengthUs = songEnd;
    } else {
        // The ending follows the last pass as it followed the first.
        const std::int64_t shift = shiftOf(passes) - loop.lengthUs();
        for (auto e = loopEnd; e != song.events.end(); ++e)
            copy(*e, shift);
        out.lengthUs = song.lengthUs + shift;
    }
    // A period a little shorter than the loop brings its last moments after
    // the next pass's start: the events in time order again, ties as they
    // came.
    std::stable_sort(
        out.events.begin(), out.events.end(),
        [](const audio::MidiEvent &a, const audio::MidiEvent &b) { return a.timeUs < b.timeUs; });
    return out;
}

} // namespace render
