// Private-profile text: line classification, case-blind lookup, in-place
// update, and the atomic replacement of the file.
#include "platform/profile/Profile.h"

#include "platform/FileWrite.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace profile {
namespace {

// Files larger than this are not settings files: they are neither read nor
// rewritten, so that nothing of one is ever cut off.
constexpr std::size_t kMaxFileSize = std::size_t(64) << 20;

// Blanks around names and values, as the platform counts them (with the
// old end-of-file mark).
std::string trim(const std::string &s) {
    const auto blank = " \t\r\n\v\f\x1a";
    const auto b = s.find_first_not_of(blank);
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(blank) - b + 1);
}

bool sameName(const std::string &a, const std::string &b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

bool hasLineBreak(const char *s) {
    return std::strpbrk(s, "\r\n") != nullptr;
}

// The whole file, or false with errno: a FIFO, a device or a folder is
// refused without waiting on it (EINVAL, EISDIR), and so is a file larger
// than any settings file (EFBIG).
bool readFile(const char *fileName, std::string &text) {
    const int fd = ::open(fileName, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (S_ISDIR(st.st_mode))
        error = EISDIR;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (std::size_t(st.st_size) > kMaxFileSize)
        error = EFBIG;
    text.clear();
    char chunk[65536];
    while (error == 0) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        else if (n == 0)
            break;
        else if (text.size() + std::size_t(n) > kMaxFileSize)
            error = EFBIG; // grew while being read
        else
            text.append(chunk, std::size_t(n));
    }
    ::close(fd);
    errno = error;
    return error == 0;
}

} // namespace

ProfileText::ProfileText(const std::string &text) {
    std::size_t at = 0;
    // A byte-order mark is not part of the first line.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        at = 3;
        byteOrderMark_ = true;
    }
    bool styleKnown = false;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        Line line;
        if (end == std::string::npos) {
            end = text.size();
        } else {
            line.end = "\n";
        }
        line.raw = text.substr(at, end - at);
        if (!line.raw.empty() && line.raw.back() == '\r') {
            line.raw.pop_back();
            if (line.end)
                line.end = "\r\n";
        }
        if (line.end && !styleKnown) {
            lineEnd_ = line.end;
            styleKnown = true;
        }
        const std::string content = trim(line.raw);
        if (!content.empty() && content.front() == '[') {
            line.kind = Line::Section;
            const auto close = content.find(']');
            line.name =
                trim(content.substr(1, close == std::string::npos ? std::string::npos : close - 1));
        } else if (!content.empty() && content.front() != ';') {
            const auto eq = content.find('=');
            line.kind = Line::Key;
            line.name = trim(content.substr(0, eq));
        }
        lines_.push_back(std::move(line));
        at = end + 1;
    }
}

bool ProfileText::find(const std::string &section, const std::string &key,
                       std::string &value) const {
    bool inSection = false;
    for (const Line &line : lines_) {
        if (line.kind == Line::Section) {
            inSection = sameName(line.name, section);
        } else if (inSection && line.kind == Line::Key && sameName(line.name, key)) {
            const auto eq = line.raw.find('=');
            value = eq == std::string::npos ? std::string() : trim(line.raw.substr(eq + 1));
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return true;
        }
    }
    return false;
}

void ProfileText::set(const std::string &section, const std::string &key,
                      const std::string &value) {
    Line entry{Line::Key, key + "=" + value, key};
    std::size_t sectionAt = lines_.size();
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Line::Section && sameName(lines_[i].name, section)) {
            sectionAt = i;
            break;
        }
    if (sectionAt == lines_.size()) {
        // A new section goes at the end, after a blank line.
        if (!lines_.empty() && !trim(lines_.back().raw).empty())
            lines_.push_back(Line{});
        lines_.push_back(Line{Line::Section, "[" + section + "]", section});
        lines_.push_back(std::move(entry));
        return;
    }
    std::size_t lastEntry = sectionAt; // the section's last line that is not blank
    for (std::size_t i = sectionAt + 1; i < lines_.size() && lines_[i].kind != Line::Section; ++i) {
        if (lines_[i].kind == Line::Key && sameName(lines_[i].name, key)) {
            // The key keeps the spelling it has in the file.
            lines_[i].raw = lines_[i].name + "=" + value;
            return;
        }
        if (!trim(lines_[i].raw).empty())
            lastEntry = i;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(lastEntry + 1), std::move(entry));
}

std::string ProfileText::text() const {
    std::string out = byteOrderMark_ ? "\xEF\xBB\xBF" : "";
    for (const Line &line : lines_)
        out += line.raw + (line.end ? line.end : lineEnd_);
    return out;
}

bool isReadableFile(const char *fileName, std::string &why) {
    std::string text;
    if (readFile(fileName, text) || errno == ENOENT)
        return true;
    why = errno == EINVAL  ? "it is not a regular file"
          : errno == EFBIG ? "it is larger than a settings file can be"
                           : std::strerror(errno);
    return false;
}

unsigned getPrivateProfileString(const char *section, const char *key, const char *defaultValue,
                                 char *buffer, unsigned size, const char *fileName) {
    if (!buffer || size == 0)
        return 0;
    std::string value;
    std::string text;
    if (!section || !key || !readFile(fileName, text) ||
        !ProfileText(text).find(section, key, value)) {
        value = defaultValue ? defaultValue : "";
        value.erase(value.find_last_not_of(' ') + 1);
    }
    std::size_t n = std::min<std::size_t>(value.size(), size - 1);
    // Never end inside a multi-byte character.
    if (n < value.size())
        while (n > 0 && (static_cast<unsigned char>(value[n]) & 0xC0) == 0x80)
            --n;
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return static_cast<unsigned>(n);
}

bool writePrivateProfileString(const char *section, const char *key, const char *value,
                               const char *fileName) {
    if (!section || !key || !value || !fileName)
        return errno = EINVAL, false;
    return writeProfileStrings({{section, key, value}}, fileName);
}

bool writeProfileStrings(const std::vector<ProfileEntry> &entries, const char *fileName) {
    for (const ProfileEntry &e : entries)
        if (hasLineBreak(e.section.c_str()) || hasLineBreak(e.key.c_str()) ||
            hasLineBreak(e.value.c_str()) || e.section.find(']') != std::string::npos ||
            e.key.find('=') != std::string::npos || trim(e.key).empty() || e.key[0] == '[' ||
            e.key[0] == ';' || e.section.find('\0') != std::string::npos ||
            e.key.find('\0') != std::string::npos || e.value.find('\0') != std::string::npos) {
            errno = EINVAL;
            return false;
        }
    // A write-protected file stays as it is, for every user.
    struct stat st {};
    const bool exists = ::stat(fileName, &st) == 0;
    if (exists &&
        (!S_ISREG(st.st_mode) || !(st.st_mode & S_IWUSR) || ::access(fileName, W_OK) != 0)) {
        errno = EACCES;
        return false;
    }
    std::string text;
    if (exists && !readFile(fileName, text))
        return false;
    ProfileText profile(text);
    for (const ProfileEntry &e : entries)
        profile.set(e.section, e.key, e.value);

    std::string temp;
    const int fd = platform::makeTemporaryBeside(fileName, temp);
    if (fd < 0)
        return false;
    mode_t mode = st.st_mode & 07777;
    if (!exists) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    const std::string updated = profile.text();
    if (::fchmod(fd, mode) == 0 && platform::writeAll(fd, updated.data(), updated.size()))
        return platform::placeTemporary(fd, temp, fileName);
    const int failure = errno;
    ::unlink(temp.c_str());
    ::close(fd);
    errno = failure;
    return false;
}

} // namespace profile
