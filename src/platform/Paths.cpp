// The program's folder from /proc/self/exe, and the files kept in it.
#include "platform/Paths.h"

#include <limits.h>
#include <unistd.h>

namespace paths {

std::string programFolder() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return "./";
    const std::string path(buffer, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

std::string settingsFile() {
    return programFolder() + "Kestrune.ini";
}

std::string devicesFile() {
    return programFolder() + "devices.ini";
}

std::string templateFolder() {
    return programFolder() + "binlib/";
}

} // namespace paths
