// kestrune-render --check: proves a batch's outputs whole without
// recording anything.
#pragma once

#include "render/Request.h"

namespace render {

/// What is wrong with `output`, the recording of `file`: missing,
/// unreadable, of another format, or shorter than the song and its tail
/// ("short: …"). Empty when it is whole.
std::string waveProblem(const Request &request, const std::string &file, const std::string &output);

/// Whether every output of `file` is whole: `output` (unless only its stems
/// are made) and, with --stems, each stem.
bool outputsWhole(const Request &request, const std::string &file, const std::string &output);

/// Looks at every file of this shard's part of the list and at the reports
/// named: prints one line for each problem (an output missing, unreadable or
/// shorter than its song, an MP3 missing, a temporary or in-progress file
/// left in an output folder, an input recorded twice) and a summary. Returns
/// 0 when there is none, 1 otherwise.
int runCheck(const Request &request);

} // namespace render
