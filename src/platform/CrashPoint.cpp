#include "platform/CrashPoint.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace platform {
namespace {

struct StopAt {
    std::string name;
    int count = 1;
    std::atomic<int> passed{0};
    StopAt() {
        const char *given = std::getenv("KESTRUNE_STOP_AT");
        if (!given)
            return;
        name = given;
        const auto colon = name.find(':');
        if (colon != std::string::npos) {
            count = std::atoi(name.c_str() + colon + 1);
            name.resize(colon);
        }
    }
};

StopAt &stopAt() {
    static StopAt point;
    return point;
}

} // namespace

void crashPoint(const char *name, const std::string &detail) {
    StopAt &point = stopAt();
    if (point.name.empty() || point.name != name || ++point.passed != point.count)
        return;
    const std::string line = "kestrune: stopped at " + point.name + " (" + detail + ")\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
    std::raise(SIGSTOP);
}

} // namespace platform
