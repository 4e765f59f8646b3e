// One song's recording, settled before it records: the song read once, and
// everything its recording and outputs take from it.
#pragma once

#include "engine/MidiFile.h"
#include "render/Finish.h"
#include "render/Loop.h"
#include "render/Request.h"
#include "render/Stems.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace render {

struct Job {
    std::string input;  // the song, as listed
    std::string output; // its output
    /// The song read; null when it cannot be read (its recording then
    /// fails, saying why).
    std::shared_ptr<const audio::MidiSong> song;
    Tags tags;                     // its title (else its file name) and copyright
    std::vector<StemOutput> stems; // --stems: its parts' outputs
    /// --loops: the song's loop (`song` is then played with its passes),
    /// and the seconds it fades out over at its end (0: it ends as written).
    std::optional<Loop> loop;
    double fadeSeconds = 0;
    bool loopFile = false; // --loop-file: `song` is the intro and two passes
    /// Why it cannot be recorded as asked, when it cannot; its recording
    /// then fails with it.
    std::string error;
};

/// The job of recording `input` as `request` asks, the song read once.
Job makeJob(const Request &request, const std::string &input);

} // namespace render
