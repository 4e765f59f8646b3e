// Writing a whole buffer to a file descriptor, through short writes and
// interrupted calls; and the temporary file a file is written under before
// it is renamed into place.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
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
/// fixed length (".kestrune-XXXXXX" and `suffix`), so that it fits wherever
/// the final name fits. Sets `temp` to its path; returns its descriptor, or
/// -1 with errno. The file is readable as the user's umask allows, and
/// locked (flock) for as long as the descriptor is open: one that nothing
/// holds is a leftover of a program that ended before it was done.
inline int makeTemporaryBeside(const std::string &path, std::string &temp,
                               const std::string &suffix = ".tmp") {
    const auto slash = path.rfind('/');
    temp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
           ".kestrune-XXXXXX" + suffix;
    const int fd = ::mkstemps(temp.data(), static_cast<int>(suffix.size()));
    if (fd >= 0) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        ::flock(fd, LOCK_EX | LOCK_NB); // a new file: nobody else holds it
    }
    return fd;
}

/// Puts the temporary file `temp`, written through `fd`, in place under
/// `path`: synced, renamed while it is still open (and so locked), then
/// closed. False with errno when a step fails; the temporary file is then
/// removed. `fd` is closed either way.
inline bool placeTemporary(int fd, const std::string &temp, const std::string &path) {
    bool ok = ::fsync(fd) == 0 && ::rename(temp.c_str(), path.c_str()) == 0;
    const int failure = errno;
    if (!ok)
        ::unlink(temp.c_str());
    ::close(fd);
    errno = failure;
    return ok;
}

/// A scratch file that no name reaches, removed when it is closed, in the
/// folder $TMPDIR names (else /tmp): as std::tmpfile(), which ignores TMPDIR.
/// Null with errno when it cannot be made.
inline std::FILE *scratchFile() {
    const char *named = std::getenv("TMPDIR");
    const std::string folder = named && *named ? named : "/tmp";
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        // A file system without O_TMPFILE: a name, removed at once.
        std::string temp = folder + "/kestrune-XXXXXX";
        fd = ::mkstemp(temp.data());
        if (fd >= 0)
            ::unlink(temp.c_str());
    }
    if (fd < 0)
        return nullptr;
    std::FILE *file = ::fdopen(fd, "w+b");
    if (!file)
        ::close(fd);
    return file;
}

} // namespace platform
