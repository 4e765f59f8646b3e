#include "support/MidiWriter.h"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace test {

Bytes varLen(std::uint32_t value) {
    Bytes out{std::uint8_t(value & 0x7F)};
    while (value >>= 7)
        out.insert(out.begin(), std::uint8_t(0x80 | (value & 0x7F)));
    return out;
}

TrackWriter &TrackWriter::delta(std::uint32_t ticks) {
    Bytes v = varLen(ticks);
    bytes_.insert(bytes_.end(), v.begin(), v.end());
    return *this;
}
TrackWriter &TrackWriter::raw(const Bytes &b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
}
TrackWriter &TrackWriter::tempo(std::uint32_t us) {
    return raw({0xFF, 0x51, 0x03, std::uint8_t(us >> 16), std::uint8_t(us >> 8), std::uint8_t(us)});
}
TrackWriter &TrackWriter::end() {
    return raw({0xFF, 0x2F, 0x00});
}
TrackWriter &TrackWriter::noteOn(int channel, int key, int velocity) {
    return raw({std::uint8_t(0x90 | channel), std::uint8_t(key), std::uint8_t(velocity)});
}
TrackWriter &TrackWriter::noteOff(int channel, int key) {
    return raw({std::uint8_t(0x80 | channel), std::uint8_t(key), 0x40});
}
TrackWriter &TrackWriter::program(int channel, int program) {
    return raw({std::uint8_t(0xC0 | channel), std::uint8_t(program)});
}

Bytes midiFile(int format, std::uint16_t division, const std::vector<Bytes> &tracks) {
    auto n = tracks.size();
    Bytes out{'M',
              'T',
              'h',
              'd',
              0,
              0,
              0,
              6,
              0,
              std::uint8_t(format),
              std::uint8_t(n >> 8),
              std::uint8_t(n),
              std::uint8_t(division >> 8),
              std::uint8_t(division)};
    for (const Bytes &t : tracks) {
        auto size = t.size();
        Bytes header{'M',
                     'T',
                     'r',
                     'k',
                     std::uint8_t(size >> 24),
                     std::uint8_t(size >> 16),
                     std::uint8_t(size >> 8),
                     std::uint8_t(size)};
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), t.begin(), t.end());
    }
    return out;
}

Bytes simpleSong(const std::vector<Note> &notes, double endSeconds, int program) {
    // (tick, is-on, key), ordered; offs before ons at the same tick.
    std::vector<std::tuple<std::uint32_t, int, int>> events;
    auto tick = [](double s) { return static_cast<std::uint32_t>(std::lround(s * 960)); };
    for (const Note &n : notes) {
        events.emplace_back(tick(n.start), 1, n.key);
        events.emplace_back(tick(n.end), 0, n.key);
    }
    std::sort(events.begin(), events.end());
    TrackWriter t;
    t.delta(0).tempo(500000).delta(0).program(0, program);
    std::uint32_t at = 0;
    for (auto [when, on, key] : events) {
        t.delta(when - at);
        at = when;
        if (on)
            t.noteOn(0, key, 110);
        else
            t.noteOff(0, key);
    }
    t.delta(tick(endSeconds) - at).end();
    return midiFile(0, 480, {t.bytes()});
}

} // namespace test
