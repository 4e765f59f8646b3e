// Loop files: a song's intro and one pass of its loop, marked where players
// look for a loop, so that a game repeats the pass for ever.
#pragma once

#include "render/Encoding.h"
#include "render/Loop.h"

#include <sndfile.h>

#include <cstdint>
#include <string>

namespace render {

/// A loop file's loop, in frames of its rate: the intro's `start` frames,
/// then `length` frames of the recording from `from` (a later pass, which
/// carries the ring-out of the pass before it).
struct LoopFrames {
    std::int64_t start = 0;
    std::int64_t length = 0;
    std::int64_t from = 0;
};

/// Where `loop`'s intro and its second pass lie at `rate`: its length is
/// its period's.
LoopFrames loopFramesOf(const Loop &loop, int rate);

/// The containers that mark a loop, for --loop-file's refusal.
bool marksLoops(Container container);
inline constexpr const char *kLoopContainers = "wav, rf64, aiff, flac, ogg or opus";

/// Marks the loop in a file being written, before its first sample: a
/// sampler loop (smpl) in WAVE and RF64, markers and a sustain loop in
/// AIFF. Empty, or why it could not.
std::string markLoopInHeader(SNDFILE *file, Container container, int rate, const LoopFrames &loop);

/// Marks the loop in the finished file open as `fd`, rewriting it there:
/// LOOPSTART and LOOPLENGTH comments (in frames) in FLAC, Ogg Vorbis and
/// Opus, as game engines and SDL_mixer read them. Empty, or why it could not.
std::string markLoopInComments(int fd, Container container, const LoopFrames &loop);

} // namespace render
