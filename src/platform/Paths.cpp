// The program's folder from /proc/self/exe, the portable or installed
// choice, the XDG folders, and the per-user copy of the templates.
#include "platform/Paths.h"

#include "platform/FileWrite.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace paths {
namespace {

constexpr int kTemplates = 12;

std::string home() {
    if (const char *h = std::getenv("HOME"); h && *h)
        return h;
    if (const passwd *entry = ::getpwuid(::getuid()))
        return entry->pw_dir;
    return "/";
}

// An XDG base folder: the variable when it holds an absolute path, else the
// default under the home folder.
std::string xdgFolder(const char *variable, const char *fallback) {
    if (const char *value = std::getenv(variable); value && value[0] == '/')
        return std::string(value) + "/";
    return home() + "/" + fallback + "/";
}

// Makes `folder` and the folders above it, as `mkdir -p` does.
void makeFolders(const std::string &folder) {
    std::string path;
    std::size_t at = 0;
    while (at != std::string::npos) {
        at = folder.find('/', at + 1);
        path = folder.substr(0, at);
        if (path.empty() || isFolder(path))
            continue;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            throw PathError("The folder " + folder + " cannot be made: " + std::strerror(errno));
    }
}

std::string templateName(int index) {
    char name[16];
    std::snprintf(name, sizeof name, "KWQF00%02d.bin", index);
    return name;
}

// Copies `from` to `to` whole or not at all.
void copyFile(const std::string &from, const std::string &to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    std::string temp;
    const int out = in < 0 ? -1 : platform::makeTemporaryBeside(to, temp);
    bool ok = in >= 0 && out >= 0;
    std::vector<char> buffer(1 << 16);
    while (ok) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = platform::writeAll(out, buffer.data(), std::size_t(n));
    }
    ok = ok && ::fchmod(out, 0644) == 0;
    int failure = errno;
    if (in >= 0)
        ::close(in);
    if (ok) {
        if (platform::placeTemporary(out, temp, to))
            return;
        failure = errno;
    } else if (out >= 0) {
        ::unlink(temp.c_str());
        ::close(out);
    }
    throw PathError(to + " cannot be copied from " + from + ": " + std::strerror(failure));
}

} // namespace

bool isFolder(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool sameFile(const std::string &a, const std::string &b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::string programFolder() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return "./";
    const std::string path(buffer, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

bool portable() {
    const std::string folder = programFolder();
    return isFolder(folder + "binlib") && ::access(folder.c_str(), W_OK) == 0;
}

std::string configFolder() {
    return portable() ? programFolder() : xdgFolder("XDG_CONFIG_HOME", ".config") + "Kestrune/";
}

void prepareConfigFolder() {
    if (!portable())
        makeFolders(configFolder());
}

std::string settingsFile() {
    return configFolder() + "Kestrune.ini";
}

std::string devicesFile() {
    return configFolder() + "devices.ini";
}

std::string stateFolder() {
    return portable() ? programFolder() : xdgFolder("XDG_STATE_HOME", ".local/state") + "Kestrune/";
}

std::string homeFolder() {
    const std::string folder = home();
    return folder.back() == '/' ? folder : folder + "/";
}

std::string temporaryFolder() {
    const char *named = std::getenv("TMPDIR");
    const std::string folder = named && *named ? named : "/tmp";
    return folder.back() == '/' ? folder : folder + "/";
}

std::string shippedTemplateFolder() {
    const std::string beside = programFolder() + "binlib/";
    return isFolder(beside) ? beside : programFolder() + "../share/kestrune/binlib/";
}

std::string templateFolder() {
    if (portable())
        return programFolder() + "binlib/";
    const std::string shipped = shippedTemplateFolder();
    const std::string own = xdgFolder("XDG_DATA_HOME", ".local/share") + "Kestrune/binlib/";
    for (int index = 0; index < kTemplates; ++index) {
        const std::string name = templateName(index);
        // A template in use stands renamed to .wav: it is not missing.
        if (isFile(own + name) || isFile(own + name.substr(0, name.size() - 4) + ".wav"))
            continue;
        makeFolders(own);
        copyFile(shipped + name, own + name);
    }
    return own;
}

} // namespace paths
