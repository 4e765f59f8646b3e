// Builds small Standard MIDI Files for tests, byte by byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test {

using Bytes = std::vector<std::uint8_t>;

/// One track's bytes: events with their delta times, as written in a file.
class TrackWriter {
public:
    TrackWriter &delta(std::uint32_t ticks);
    /// Appends raw bytes (status and data) after the last delta.
    TrackWriter &raw(const Bytes &bytes);
    TrackWriter &tempo(std::uint32_t usPerQuarter);
    TrackWriter &end();
    TrackWriter &noteOn(int channel, int key, int velocity);
    TrackWriter &noteOff(int channel, int key);
    TrackWriter &program(int channel, int program);
    const Bytes &bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

Bytes varLen(std::uint32_t value);
/// A whole file: the MThd header and one MTrk chunk per track.
Bytes midiFile(int format, std::uint16_t division, const std::vector<Bytes> &tracks);

/// A format-0 file at 480 ticks per quarter and 120 bpm (a tick is 1/960 s)
/// that sounds `notes` (start, end, key, in seconds) on `program` (a piano
/// unless told) and ends at `endSeconds`.
struct Note {
    double start, end;
    int key;
};
Bytes simpleSong(const std::vector<Note> &notes, double endSeconds, int program = 0);
/// The General MIDI square lead: it speaks within a block of its note-on,
/// so that where a note begins can be measured to the frame.
inline constexpr int kSquareLead = 80;

} // namespace test
