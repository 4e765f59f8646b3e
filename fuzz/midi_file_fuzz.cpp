// Fuzz target: the Standard MIDI File reader must refuse or accept any bytes
// without crashing, and what it accepts must be ordered and bounded.
#include "engine/MidiFile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    try {
        audio::MidiSong song = audio::parseMidiFile(data, size);
        std::int64_t last = 0;
        for (const audio::MidiEvent &e : song.events) {
            if (e.timeUs < last || e.timeUs > song.lengthUs + 1 ||
                std::size_t(e.sysexOffset) + e.sysexLength > song.sysex.size())
                std::abort();
            last = e.timeUs;
        }
        if (song.lengthUs < 0 || song.lengthUs > audio::kMaxSongLengthUs)
            std::abort();
    } catch (const audio::MidiFileError &) {
    }
    return 0;
}
