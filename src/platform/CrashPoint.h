// Named points in a recording's life where a test can stop the process to
// kill it there: the way crashes at exact moments are tried for real.
#pragma once

#include <string>

namespace platform {

/// A process started with KESTRUNE_STOP_AT=NAME (or NAME:N) says
/// "kestrune: stopped at NAME (DETAIL)" on standard error and stops itself
/// with SIGSTOP the first (or the Nth) time it passes the point NAME.
/// Anywhere else it costs one comparison.
void crashPoint(const char *name, const std::string &detail = {});

} // namespace platform
