// Waiting in the Qt event loop, for tests of the window and its devices.
#pragma once

#include <functional>

namespace test {

/// Runs the Qt event loop until `done` is true or `timeoutMs` passes.
/// Returns what `done` said last.
bool waitFor(const std::function<bool()> &done, int timeoutMs);
/// Runs the Qt event loop for `ms` milliseconds.
void spin(int ms);

} // namespace test
