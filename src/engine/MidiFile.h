// Reads a Standard MIDI File (formats 0 and 1), bare or in a RIFF MIDI file's
// wrapper (.rmi), into one time-ordered list of the events a synthesiser needs, with each event's
// time in microseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace audio {

/// A channel message or a system-exclusive message, at its time from the
/// start of the song. A system-exclusive message has status 0xF0 and its
/// bytes (without the leading 0xF0 and the closing 0xF7) in MidiSong::sysex.
struct MidiEvent {
    std::int64_t timeUs = 0;
    std::uint8_t status = 0;
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;
    std::uint32_t sysexOffset = 0;
    std::uint32_t sysexLength = 0;
    /// The MIDI port its track named (FF 21), 0 to kMaxPorts - 1: a channel
    /// message plays on channel 16 × port + (status & 0x0F).
    std::uint8_t port = 0;
};

/// The ports a song may address; a port number beyond them folds back.
inline constexpr int kMaxPorts = 4; // 64 channels

/// What a song does on one of its channels (16 × port + channel).
struct SongChannel {
    bool sounds = false; // it plays at least one note
    int program = -1;    // its first program change, if any
    int track = -1;      // the one track whose events use it; -2: several
};

struct MidiSong {
    std::vector<MidiEvent> events; // ordered by time, then by track
    std::vector<std::uint8_t> sysex;
    std::int64_t lengthUs = 0; // where the last track ends
    // The first track-name and copyright meta events: as stored, and as
    // UTF-8 by decodeMetaText(Auto); empty when there are none.
    std::string titleBytes, copyrightBytes;
    std::string title;
    std::string copyright;
    /// The ports its tracks name (1 when none does), and what each channel
    /// of them does: 16 × ports entries.
    int ports = 1;
    std::vector<SongChannel> channels = std::vector<SongChannel>(16);
    /// Each track's first track name, as stored; empty for none.
    std::vector<std::string> trackNames;
    /// The channels each track's events use, one bit each (bit 16 × port +
    /// channel).
    std::vector<std::uint64_t> trackChannels;
    /// Marker and text events (FF 06, FF 01) that read "loopStart" or
    /// "loopEnd" in any letter case, in time order.
    struct LoopMark {
        std::int64_t timeUs = 0;
        bool start = false;
        int track = 0;
    };
    std::vector<LoopMark> loopMarks;
    /// The time of each beat of each bar (bars[0][0] is 0), by the song's
    /// time signatures (4/4 until the first; each begins a bar), to the bar
    /// that holds its end or begins there; none when it counts SMPTE frames.
    std::vector<std::vector<std::int64_t>> bars;
};

/// How the bytes of a meta event's text are read. Auto: as UTF-8 when they
/// are valid UTF-8, else as Shift-JIS (Windows' code page 932, as Japanese
/// files are written) when they decode cleanly as such and hold a byte
/// from 0x80 to 0x9F (a kana's lead byte; a control code in Latin-1), else
/// as Latin-1.
enum class TextEncoding { Auto, Utf8, ShiftJis, Latin1 };

/// A meta event's text as UTF-8, read as `encoding` says: bytes that do
/// not decode become U+FFFD, control characters blanks, and blanks at
/// either end go.
std::string decodeMetaText(const std::string &bytes, TextEncoding encoding);

/// Why a file was refused; what() says what is wrong, without the file name.
class MidiFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The longest song accepted. Longer ones come only from absurd delta times.
inline constexpr std::int64_t kMaxSongLengthUs = 24LL * 3600 * 1000000;

/// Parses a whole file held in memory. Throws MidiFileError when the data is
/// not a well-formed Standard MIDI File of format 0 or 1.
MidiSong parseMidiFile(const std::uint8_t *data, std::size_t size);

/// Reads and parses a file. Throws MidiFileError when it cannot be read or
/// is not well formed.
MidiSong readMidiFile(const std::string &path);

} // namespace audio
