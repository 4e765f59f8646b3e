// Standard MIDI File reader: chunk walk, track decoding with running status,
// tempo map, and the conversion of ticks into microseconds.
#include "engine/MidiFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iconv.h>
#include <sys/stat.h>
#include <tuple>
#include <utility>

namespace audio {
namespace {

// Refuse files that could not be a song rather than reading gigabytes.
constexpr std::size_t kMaxFileSize = 64u << 20;

std::string fmt(const char *text, long long a) {
    std::string s(text);
    auto at = s.find("%d");
    if (at != std::string::npos)
        s.replace(at, 2, std::to_string(a));
    return s;
}

std::uint32_t be32(const std::uint8_t *p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           p[3];
}
std::uint16_t be16(const std::uint8_t *p) {
    return std::uint16_t((p[0] << 8) | p[1]);
}

// The most beats whose times a song keeps: enough for any song, and no
// more memory for absurd ones.
constexpr std::size_t kMostBeats = 1 << 20;

// A raw event of one track, before the tracks are merged.
struct TrackEvent {
    std::uint64_t tick;
    int track;
    std::uint32_t order; // position in its track, for a stable merge
    // A tempo (value: microseconds per quarter note), a time signature
    // (value: numerator | the denominator's power of two << 8) or a loop's
    // marker: known while the tracks are merged, then gone.
    enum class Kind { Event, Tempo, Meter, LoopStart, LoopEnd } kind;
    std::uint32_t value;
    MidiEvent event;
};

// Text with nothing but blanks and control characters, in any encoding.
bool blank(const std::string &text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; });
}

class TrackReader {
public:
    TrackReader(const std::uint8_t *data, std::size_t size, int track, MidiSong &song,
                std::vector<TrackEvent> &out)
        : p_(data), end_(data + size), track_(track), song_(song), out_(out) {}

    // Returns the tick of the end-of-track event. A track without one ends
    // with its chunk, as common players read it.
    std::uint64_t read() {
        std::uint64_t tick = 0;
        std::uint8_t running = 0;
        std::uint32_t order = 0;
        song_.trackNames.emplace_back();
        song_.trackChannels.emplace_back();
        while (p_ < end_) {
            std::uint32_t delta = varLen("a delta time");
            tick += delta;
            if (tick > (std::uint64_t(1) << 40))
                fail("has absurd delta times");
            std::uint8_t status = byte("an event");
            if (status < 0x80) {
                if (running == 0)
                    fail("uses running status before any status byte");
                --p_;
                status = running;
            }
            if (status < 0xF0) {
                running = status;
                MidiEvent e;
                e.status = status;
                e.data1 = dataByte();
                std::uint8_t kind = status & 0xF0;
                if (kind != 0xC0 && kind != 0xD0)
                    e.data2 = dataByte();
                push(tick, order++, e);
            } else if (status == 0xF0 || status == 0xF7) {
                // System-exclusive messages cancel running status.
                running = 0;
                std::uint32_t length = varLen("a system-exclusive length");
                need(length, "a system-exclusive message");
                if (status == 0xF0 && length > 0 && p_[length - 1] == 0xF7) {
                    MidiEvent e;
                    e.status = 0xF0;
                    e.sysexOffset = std::uint32_t(song_.sysex.size());
                    e.sysexLength = length - 1;
                    song_.sysex.insert(song_.sysex.end(), p_, p_ + length - 1);
                    push(tick, order++, e);
                }
                p_ += length;
            } else if (status == 0xFF) {
                running = 0;
                std::uint8_t type = byte("a meta event type");
                std::uint32_t length = varLen("a meta event length");
                need(length, "a meta event");
                if (type == 0x2F)
                    return tick;
                if (type == 0x21 && length >= 1)
                    port_ = std::uint8_t(p_[0] % kMaxPorts);
                if (type == 0x03 && song_.trackNames.back().empty())
                    song_.trackNames.back().assign(reinterpret_cast<const char *>(p_), length);
                // The first that is not blank.
                if (type == 0x03 && blank(song_.titleBytes))
                    song_.titleBytes.assign(reinterpret_cast<const char *>(p_), length);
                if (type == 0x02 && blank(song_.copyrightBytes))
                    song_.copyrightBytes.assign(reinterpret_cast<const char *>(p_), length);
                if (type == 0x51) {
                    // Longer tempo events are read by their first three bytes.
                    if (length < 3)
                        fail(fmt("has a tempo event of %d bytes, where a tempo takes three", length)
                                 .c_str());
                    mark(tick, order++, TrackEvent::Kind::Tempo,
                         (std::uint32_t(p_[0]) << 16) | (std::uint32_t(p_[1]) << 8) | p_[2]);
                }
                // A time signature of 1 to 32 beats of a whole to a 64th note.
                if (type == 0x58 && length >= 2 && p_[0] >= 1 && p_[0] <= 32 && p_[1] <= 6)
                    mark(tick, order++, TrackEvent::Kind::Meter, p_[0] | std::uint32_t(p_[1] << 8));
                if (type == 0x01 || type == 0x06) {
                    const std::string text = lowered(
                        decodeMetaText(std::string(reinterpret_cast<const char *>(p_), length),
                                       TextEncoding::Latin1));
                    if (text == "loopstart" || text == "loopend")
                        mark(tick, order++,
                             text == "loopstart" ? TrackEvent::Kind::LoopStart
                                                 : TrackEvent::Kind::LoopEnd,
                             0);
                }
                p_ += length;
            } else {
                fail(fmt("holds the status byte %d, which has no place in a file", status).c_str());
            }
        }
        return tick;
    }

private:
    [[noreturn]] void fail(const char *what) {
        throw MidiFileError("track " + std::to_string(track_ + 1) + " " + what);
    }
    std::uint8_t byte(const char *what) {
        if (p_ >= end_)
            fail((std::string("ends in the middle of ") + what).c_str());
        return *p_++;
    }
    std::uint8_t dataByte() {
        std::uint8_t b = byte("a channel message");
        if (b >= 0x80)
            fail("has a channel message cut short by a status byte");
        return b;
    }
    std::uint32_t varLen(const char *what) {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            std::uint8_t b = byte(what);
            value = (value << 7) | (b & 0x7F);
            if (!(b & 0x80))
                return value;
        }
        fail((std::string("has ") + what + " longer than four bytes").c_str());
    }
    void need(std::uint32_t length, const char *what) {
        if (std::size_t(end_ - p_) < length)
            fail((std::string("ends in the middle of ") + what).c_str());
    }
    void push(std::uint64_t tick, std::uint32_t order, MidiEvent e) {
        if (e.status < 0xF0) {
            e.port = port_;
            const std::size_t channel = std::size_t(16 * port_ + (e.status & 0x0F));
            if (song_.channels.size() <= channel) {
                song_.ports = port_ + 1;
                song_.channels.resize(std::size_t(16 * song_.ports));
            }
            SongChannel &c = song_.channels[channel];
            c.track = c.track == -1 || c.track == track_ ? track_ : -2;
            song_.trackChannels.back() |= std::uint64_t(1) << channel;
            if ((e.status & 0xF0) == 0x90 && e.data2 > 0)
                c.sounds = true;
            if ((e.status & 0xF0) == 0xC0 && c.program < 0)
                c.program = e.data1;
        }
        out_.push_back(TrackEvent{tick, track_, order, TrackEvent::Kind::Event, 0, e});
    }
    void mark(std::uint64_t tick, std::uint32_t order, TrackEvent::Kind kind, std::uint32_t value) {
        out_.push_back(TrackEvent{tick, track_, order, kind, value, MidiEvent{}});
    }
    static std::string lowered(std::string text) {
        for (char &c : text)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }

    const std::uint8_t *p_;
    const std::uint8_t *end_;
    int track_;
    std::uint8_t port_ = 0; // the port its last FF 21 named
    MidiSong &song_;
    std::vector<TrackEvent> &out_;
};

} // namespace

namespace {

std::uint32_t le32(const std::uint8_t *p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

// A RIFF MIDI file ("RIFF", its size, "RMID") holds a Standard MIDI File in
// its "data" chunk; other chunks (an INFO list) are skipped. Where that
// file lies, or a refusal that says what is wrong with the wrapper.
std::pair<const std::uint8_t *, std::size_t> unwrapRiff(const std::uint8_t *data,
                                                        std::size_t size) {
    if (size < 12 || std::memcmp(data + 8, "RMID", 4) != 0)
        throw MidiFileError("the file is a RIFF file but not a RIFF MIDI file (RMID)");
    // A RIFF size that overstates the file is read as far as the file goes.
    const std::size_t end = std::min<std::size_t>(size, std::size_t(le32(data + 4)) + 8);
    std::size_t at = 12;
    while (end - at >= 8) {
        const std::uint32_t length = le32(data + at + 4);
        if (length > end - at - 8)
            throw MidiFileError("the RIFF MIDI file's chunks are longer than the file");
        if (std::memcmp(data + at, "data", 4) == 0)
            return {data + at + 8, length};
        at += 8 + length + (length & 1); // chunks are padded to even sizes
    }
    throw MidiFileError("the RIFF MIDI file holds no MIDI data (no data chunk)");
}

} // namespace

namespace {

// Gives the merged events, the tempo map's and the time signatures' marks
// among them, their times in microseconds, and the song its events, loop
// marks, bars and length: microseconds per tick are the tempo over the
// ticks per quarter note, or fixed for SMPTE time.
void placeInTime(const std::vector<TrackEvent> &events, std::uint64_t lastTick,
                 std::uint16_t division, MidiSong &song) {
    const bool smpte = (division & 0x8000) != 0;
    const std::int64_t ticksPerQuarter = division;
    long double smpteUsPerTick = 0;
    if (smpte) {
        const int fps = -static_cast<std::int8_t>(division >> 8);
        const long double rate = fps == 29 ? 29.97L : fps;
        smpteUsPerTick = 1000000.0L / (rate * (division & 0xFF));
    }
    std::uint64_t segmentTick = 0; // tick of the last tempo change
    long double segmentUs = 0;     // its time
    std::uint32_t tempo = 500000;  // 120 beats per minute until told otherwise
    auto timeOf = [&](std::uint64_t tick) -> long double {
        long double ticks = static_cast<long double>(tick - segmentTick);
        if (smpte)
            return segmentUs + ticks * smpteUsPerTick;
        return segmentUs + ticks * tempo / static_cast<long double>(ticksPerQuarter);
    };
    auto micros = [](long double us) { return static_cast<std::int64_t>(us + 0.5L); };
    // Bars begin at 0, at each bar's end and at each time signature; a bar's
    // beats are its signature's note values. Beats are placed as the walk
    // reaches them, with the tempo they fall in.
    std::uint64_t beatTick = 0;
    std::uint32_t beatInBar = 0;
    std::uint32_t meter = 4 | (2 << 8); // 4/4 until told otherwise
    std::size_t beats = 0;
    auto beatsBefore = [&](std::uint64_t tick) {
        const std::uint64_t beat =
            std::max<std::uint64_t>(1, std::uint64_t(ticksPerQuarter) * 4 >> (meter >> 8));
        for (; !smpte && beatTick < tick && beats < kMostBeats; beatTick += beat, ++beats) {
            if (beatInBar == 0)
                song.bars.emplace_back();
            song.bars.back().push_back(micros(timeOf(beatTick)));
            beatInBar = (beatInBar + 1) % (meter & 0xFF);
        }
    };
    song.events.reserve(events.size());
    for (const TrackEvent &t : events) {
        long double us = timeOf(t.tick);
        if (us > static_cast<long double>(kMaxSongLengthUs))
            throw MidiFileError("the song would last longer than 24 hours: absurd delta times");
        switch (t.kind) {
        case TrackEvent::Kind::Tempo:
            beatsBefore(t.tick);
            segmentUs = us;
            segmentTick = t.tick;
            tempo = t.value;
            break;
        case TrackEvent::Kind::Meter:
            beatsBefore(t.tick);
            beatTick = t.tick;
            beatInBar = 0;
            meter = t.value;
            break;
        case TrackEvent::Kind::LoopStart:
        case TrackEvent::Kind::LoopEnd:
            song.loopMarks.push_back(
                MidiSong::LoopMark{micros(us), t.kind == TrackEvent::Kind::LoopStart, t.track});
            break;
        case TrackEvent::Kind::Event: {
            MidiEvent e = t.event;
            e.timeUs = micros(us);
            song.events.push_back(e);
            break;
        }
        }
    }
    beatsBefore(lastTick + 1); // and the beat at the end
    long double length = timeOf(lastTick);
    if (length > static_cast<long double>(kMaxSongLengthUs))
        throw MidiFileError("the song would last longer than 24 hours: absurd delta times");
    song.lengthUs = micros(length);
}

} // namespace

MidiSong parseMidiFile(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        throw MidiFileError("the file is empty");
    if (size >= 4 && std::memcmp(data, "RIFF", 4) == 0)
        std::tie(data, size) = unwrapRiff(data, size);
    if (size == 0)
        throw MidiFileError("the RIFF MIDI file's MIDI data is empty");
    if (size < 14 || std::memcmp(data, "MThd", 4) != 0)
        throw MidiFileError("the file does not begin with a MIDI header (MThd)");
    std::uint32_t headerLength = be32(data + 4);
    if (headerLength < 6)
        throw MidiFileError("the MIDI header is shorter than six bytes");
    if (headerLength > size - 8)
        throw MidiFileError("the MIDI header is longer than the file");
    const std::uint16_t format = be16(data + 8);
    const std::uint16_t trackCount = be16(data + 10);
    const std::uint16_t division = be16(data + 12);
    if (format > 1)
        throw MidiFileError(
            fmt("the file is of format %d; only formats 0 and 1 can be played", format));
    if (trackCount == 0)
        throw MidiFileError("the header announces no tracks");
    if (format == 0 && trackCount != 1)
        throw MidiFileError(fmt("the file is of format 0 but announces %d tracks", trackCount));

    // An SMPTE division names frames a second and ticks a frame.
    if (division & 0x8000) {
        const int fps = -static_cast<std::int8_t>(division >> 8);
        if ((fps != 24 && fps != 25 && fps != 29 && fps != 30) || (division & 0xFF) == 0)
            throw MidiFileError("the header's SMPTE time division is not valid");
    } else if (division == 0) {
        throw MidiFileError("the header's time division is zero");
    }

    MidiSong song;
    std::vector<TrackEvent> events;
    std::uint64_t lastTick = 0;
    int tracksRead = 0;
    std::size_t at = 8 + std::size_t(headerLength);
    while (tracksRead < trackCount) {
        if (size - at < 8) {
            throw MidiFileError("the header announces " + std::to_string(trackCount) +
                                " tracks, but the file holds " + std::to_string(tracksRead));
        }
        std::uint32_t chunkLength = be32(data + at + 4);
        bool isTrack = std::memcmp(data + at, "MTrk", 4) == 0;
        at += 8;
        if (chunkLength > size - at) {
            if (isTrack)
                throw MidiFileError("track " + std::to_string(tracksRead + 1) +
                                    " is cut short: its chunk is longer than the rest of the file");
            throw MidiFileError("a chunk is longer than the rest of the file");
        }
        if (isTrack) {
            TrackReader reader(data + at, chunkLength, tracksRead, song, events);
            lastTick = std::max(lastTick, reader.read());
            ++tracksRead;
        }
        at += chunkLength; // chunks of other kinds are skipped
    }

    std::stable_sort(events.begin(), events.end(), [](const TrackEvent &a, const TrackEvent &b) {
        if (a.tick != b.tick)
            return a.tick < b.tick;
        return a.track < b.track;
    });

    placeInTime(events, lastTick, division, song);
    song.title = decodeMetaText(song.titleBytes, TextEncoding::Auto);
    song.copyright = decodeMetaText(song.copyrightBytes, TextEncoding::Auto);
    return song;
}

namespace {

// The length of the UTF-8 sequence at `i`, or 0 where none stands.
std::size_t utf8Sequence(const std::string &text, std::size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = c < 0x80   ? 1
                               : c < 0xC2 ? 0
                               : c < 0xE0 ? 2
                               : c < 0xF0 ? 3
                               : c < 0xF5 ? 4
                                          : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    // No overlong forms, surrogates or code points past U+10FFFF.
    const auto next = length > 1 ? static_cast<unsigned char>(text[i + 1]) : 0;
    if ((c == 0xE0 && next < 0xA0) || (c == 0xED && next >= 0xA0) || (c == 0xF0 && next < 0x90) ||
        (c == 0xF4 && next >= 0x90))
        return 0;
    return length;
}

const char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD

std::string fromUtf8(const std::string &bytes, bool &clean) {
    std::string out;
    clean = true;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = utf8Sequence(bytes, i);
        if (n == 0) {
            clean = false;
            out += kReplacement;
            ++i;
        } else {
            out.append(bytes, i, n);
            i += n;
        }
    }
    return out;
}

std::string fromLatin1(const std::string &bytes) {
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Shift-JIS through iconv, a character at a time; `clean` when every byte
// decoded and one of them lies in 0x80-0x9F. Those are the lead bytes of
// kana and the commonest kanji, and control codes in Latin-1, which no
// Latin-1 text holds: a Latin-1 letter before an ASCII one ("Sp\xE5r")
// decodes as a kanji too.
std::string fromShiftJis(const std::string &bytes, bool &clean) {
    clean = true;
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        clean = false;
        return fromLatin1(bytes);
    }
    bool latin1Control = false;
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        latin1Control = latin1Control || (c >= 0x80 && c <= 0x9F);
        const bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
        const std::size_t take = lead && i + 1 < bytes.size() ? 2 : 1;
        char *in = const_cast<char *>(bytes.data() + i);
        char decoded[8];
        char *to = decoded;
        std::size_t inLeft = take, outLeft = sizeof decoded;
        if (iconv(cd, &in, &inLeft, &to, &outLeft) == std::size_t(-1) || inLeft != 0) {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            clean = false;
            out += kReplacement;
            ++i;
            continue;
        }
        out.append(decoded, std::size_t(to - decoded));
        i += take;
    }
    iconv_close(cd);
    clean = clean && latin1Control;
    return out;
}

} // namespace

std::string decodeMetaText(const std::string &bytes, TextEncoding encoding) {
    bool clean = true;
    std::string text;
    switch (encoding) {
    case TextEncoding::Utf8:
        text = fromUtf8(bytes, clean);
        break;
    case TextEncoding::ShiftJis:
        text = fromShiftJis(bytes, clean);
        break;
    case TextEncoding::Latin1:
        text = fromLatin1(bytes);
        break;
    case TextEncoding::Auto:
        text = fromUtf8(bytes, clean);
        if (!clean)
            text = fromShiftJis(bytes, clean);
        if (!clean)
            text = fromLatin1(bytes);
        break;
    }
    for (char &ch : text)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F)
            ch = ' ';
    const auto first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string()
                                      : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

MidiSong readMidiFile(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw MidiFileError(std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        throw MidiFileError("it is a folder, not a file");
    if (!S_ISREG(st.st_mode))
        throw MidiFileError("it is not a regular file");
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileSize)
        throw MidiFileError("the file is too large to be a MIDI file");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw MidiFileError(std::strerror(errno));
    std::vector<std::uint8_t> data(static_cast<std::size_t>(st.st_size));
    in.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(data.size()));
    if (in.gcount() != static_cast<std::streamsize>(data.size()))
        throw MidiFileError("the file could not be read to its end");
    return parseMidiFile(data.data(), data.size());
}

} // namespace audio
