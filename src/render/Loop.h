// Songs written to loop: where their loop lies (marked in the song, or given
// on the command line), and the song played with its loop several times.
#pragma once

#include "engine/MidiFile.h"

#include <cstdint>
#include <optional>
#include <string>

namespace render {

/// A point of a song as --loop gives it: seconds, or a bar and a beat (from 1).
struct SongPoint {
    bool inBars = false;
    double seconds = 0;
    int bar = 0, beat = 0;
};

/// --loop FROM-TO.
struct LoopRequest {
    SongPoint from, to;
};

/// Reads --loop's value: "12.5-64" (seconds) or "5:1-37:1" (bar:beat);
/// nullopt when it is neither.
std::optional<LoopRequest> parseLoop(const std::string &text);

/// A loop of a song: its passes run from startUs to endUs, each `periodUs`
/// after the one before (0: its length).
struct Loop {
    std::int64_t startUs = 0;
    std::int64_t endUs = 0;
    double periodUs = 0;
    int rate = 0; // when its period is whole frames: their rate
    std::int64_t lengthUs() const { return endUs - startUs; }
    double period() const { return periodUs > 0 ? periodUs : double(lengthUs()); }
};

/// `loop` with its passes a whole number of the synthesiser's blocks apart
/// at `rate` (the nearest to its length): the synthesiser starts each note
/// on a block, so that only then does each pass place its notes as the pass
/// before it did, and sound as it did to the sample. Each event of a later
/// pass is then placed that many frames after its first pass's, exactly.
Loop alignedToBlocks(Loop loop, int rate);

/// The loop that `given` names in `song`, else the one the song marks:
/// "loopStart"/"loopEnd" markers first, then controllers 116 and 117, then
/// controller 111 (which loops to the song's end). Empty, with `loop` set
/// when there is one; else why the song's marks or `given` make no loop.
std::string findLoop(const audio::MidiSong &song, const LoopRequest *given,
                     std::optional<Loop> &loop);

/// `song` with its loop played `passes` times, each its period after the
/// last, then what follows the loop
/// in the song (its ending); or, given `onIntoUs`, on into the loop again
/// for that long (0: not at all), where the song then ends. Notes that
/// sound at the end of a pass that is followed by another end there, as a
/// player's jump back would end them.
audio::MidiSong expandLoop(const audio::MidiSong &song, const Loop &loop, int passes,
                           std::optional<std::int64_t> onIntoUs);

} // namespace render
