// A batch of recordings: the plan of outputs, worker processes that record
// several files at once, the progress on the terminal and the JSON report.
#pragma once

#include "render/Request.h"

namespace render {

/// Records every file of the request, request.jobs at a time, each worker
/// process with an engine of its own. Returns the exit status: 0 when every
/// file was recorded or left out, 1 when any failed, 130 when interrupted.
int runBatch(const Request &request);

} // namespace render
