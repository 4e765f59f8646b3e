// The last step of a render: the whole recording, a WAVE file in its
// in-progress file, becomes the output, measured, brought to a loudness if
// asked, tagged with the song's name, in the container asked for.
#pragma once

#include "engine/Levels.h"
#include "render/Encoding.h"

#include <optional>
#include <string>

namespace render {

/// What the output is tagged with.
struct Tags {
    std::string title;     // the song's first track name, else its file name
    std::string copyright; // its copyright notice; empty for none
};

/// The tags of the MIDI file `song` (only its file name when it cannot be read).
Tags tagsOf(const std::string &song);

/// How the output is written.
struct FinishPlan {
    Encoding encoding;
    Tags tags;
    bool normalize = false; // to `loudness` LUFS, its true peak at most `truePeak` dBTP
    double loudness = -16;
    double truePeak = -1;
    /// The recording's levels when they were measured as it was made;
    /// otherwise it is read again for them where they are needed.
    std::optional<audio::Levels> recorded;
};

/// What came of it.
struct Finished {
    audio::Levels levels; // what the output holds (lossy: what the codec was given)
    bool measured = false;
    double gainDb = 0; // the normalising gain given
};

/// Writes the WAVE file `recording` into `output`, whole or not at all:
/// a WAVE file in the recording's own format is tagged where it lies and
/// renamed (no copy); anything else is written beside `output` through
/// libsndfile, synced, and renamed over it. Returns empty on success, else
/// why not; the recording is left as it was.
std::string finishOutput(const std::string &recording, const std::string &output,
                         const FinishPlan &plan, Finished &finished);

/// Appends a RIFF INFO list with `tags` to the whole WAVE (or RF64) file
/// `path`, counted in its RIFF size, and syncs it. False with `error` when
/// it cannot.
bool appendWaveTags(const std::string &path, const Tags &tags, std::string &error);

} // namespace render
