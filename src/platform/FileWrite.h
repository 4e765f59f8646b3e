// Writing a whole buffer to a file descriptor, through short writes and
// interrupted calls; and the temporary file a file is written under before
// it is renamed into place.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace platform {

/// True when every byte was written; errno says why otherwise.
inline bool writeAll(int fd, const void *data, std::size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

/// Creates a temporary file in the folder of `path`, under a hidden name of
/// fixed length (".kestrune-XXXXXX.tmp"), so that it fits wherever the
/// final name fits. Sets `temp` to its path; returns its descriptor, or -1
/// with errno.
inline int makeTemporaryBeside(const std::string &path, std::string &temp) {
    const auto slash = path.rfind('/');
    temp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
           ".kestrune-XXXXXX.tmp";
    return ::mkstemps(temp.data(), 4);
}

} // namespace platform
