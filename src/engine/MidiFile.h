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
};

/// How the bytes of a meta event's text are read. Auto: as UTF-8 when they
/// are valid UTF-8, else as Shift-JIS (Windows' code page 932, as Japanese
/// files are written) when they decode cleanly as such and hold at least
/// one double-byte character, else as Latin-1.
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
