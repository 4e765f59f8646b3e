// The in-progress file: the header is rewritten in place at each sync, so
// the file on disk is a WAVE file that counts every sample synced so far.
#include "engine/WaveJournal.h"

#include "platform/CrashPoint.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace audio {
namespace {

std::uint32_t get16(const std::uint8_t *p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8;
}
std::uint32_t get32(const std::uint8_t *p) {
    return get16(p) | get16(p + 2) << 16;
}

bool writeAt(int fd, const std::vector<std::uint8_t> &bytes, off_t offset) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, offset + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

std::string folderOf(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The samples end on a whole frame and, when their count is odd, carry the
// pad byte a WAVE chunk needs.
bool cutToData(int fd, std::uint64_t headerBytes, std::uint64_t dataBytes) {
    const off_t end = off_t(headerBytes + dataBytes);
    if (::ftruncate(fd, end) != 0)
        return false;
    return (dataBytes & 1) == 0 || writeAt(fd, {0}, end);
}

} // namespace

std::unique_ptr<WaveJournal> WaveJournal::create(const std::string &path, const WaveFormat &format,
                                                 std::uint64_t expectedBytes, std::string &error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    // Locked before it is emptied: a file another recording holds is never touched.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "another recording is writing it" : std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<WaveJournal> journal(new WaveJournal);
    journal->path_ = path;
    journal->format_ = format;
    const std::vector<std::uint8_t> header = waveHeader(format, 0, expectedBytes > kMaxRiffData);
    journal->headerBytes_ = header.size();
    journal->file_ = ::fdopen(fd, "r+b");
    if (!journal->file_ || ::ftruncate(fd, 0) != 0 || !writeAt(fd, header, 0) ||
        ::fseeko(journal->file_, off_t(header.size()), SEEK_SET) != 0) {
        error = std::strerror(errno);
        if (!journal->file_)
            ::close(fd);
        return nullptr;
    }
    return journal;
}

WaveJournal::~WaveJournal() {
    if (file_)
        std::fclose(file_);
}

bool WaveJournal::writeHeader(std::uint64_t dataBytes) {
    return writeAt(fileno(file_), waveHeader(format_, dataBytes, headerBytes_ > 44), 0);
}

void WaveJournal::forgetDurable(std::uint64_t end) {
    // A recording is written once and not read while it is made: what is on
    // the disk leaves the page cache, which would otherwise grow by the
    // whole recording (by every stem of it) and push out what the machine
    // still uses. Fresh cache is dearer than reused cache, too: a virtual
    // machine's host backs each new page on its first write. The header's
    // page stays, as it is rewritten at each sync; the page being filled
    // stays too.
    constexpr std::uint64_t kPage = 4096;
    const std::uint64_t from = std::max(forgotten_, (headerBytes_ + kPage - 1) / kPage * kPage);
    const std::uint64_t to = end / kPage * kPage;
    if (to <= from)
        return;
    ::posix_fadvise(fileno(file_), off_t(from), off_t(to - from), POSIX_FADV_DONTNEED);
    forgotten_ = to;
}

bool WaveJournal::sync(std::uint64_t dataBytes) {
    if (finished_)
        return true;
    const int fd = fileno(file_);
    // The samples first: a header never counts samples that are not on the disk.
    if (std::fflush(file_) != 0 || ::fdatasync(fd) != 0)
        return false;
    forgetDurable(headerBytes_ + dataBytes);
    // A RIFF header cannot count more than its limit; the samples past it are
    // still recovered from the file's length.
    if (headerBytes_ == 44 && dataBytes > kMaxRiffData)
        dataBytes = kMaxRiffData / std::uint64_t(format_.bytesPerFrame()) *
                    std::uint64_t(format_.bytesPerFrame());
    if (!writeHeader(dataBytes) || ::fdatasync(fd) != 0)
        return false;
    if (syncs_++ == 0)
        syncFolderOf(path_);
    platform::crashPoint("sync", std::to_string(dataBytes) + " bytes");
    return true;
}

bool WaveJournal::canFinishAs(const std::string &target, std::uint64_t dataBytes) const {
    // Still under its name (its folder may have gone), in the target's file system.
    struct stat folder {};
    struct stat own {};
    struct stat named {};
    if (::stat(folderOf(target).c_str(), &folder) != 0 || ::fstat(fileno(file_), &own) != 0 ||
        ::stat(path_.c_str(), &named) != 0 || named.st_ino != own.st_ino ||
        named.st_dev != own.st_dev)
        return false;
    return folder.st_dev == own.st_dev && (headerBytes_ > 44) == (dataBytes > kMaxRiffData);
}

bool WaveJournal::finish(const std::string &target, std::uint64_t dataBytes, std::string &error) {
    const int fd = fileno(file_);
    if (target == path_) {
        // Whole where it lies, for whoever writes the output from it (and
        // syncs what it keeps).
        if (std::fflush(file_) == 0 && cutToData(fd, headerBytes_, dataBytes) &&
            writeHeader(dataBytes)) {
            finished_ = true;
            return true;
        }
        error = std::strerror(errno);
        return false;
    }
    bool ok = std::fflush(file_) == 0 && cutToData(fd, headerBytes_, dataBytes) &&
              writeHeader(dataBytes) && ::fsync(fd) == 0;
    if (ok) {
        forgetDurable(headerBytes_ + dataBytes);
        platform::crashPoint("finish", std::to_string(dataBytes) + " bytes");
        ok = ::rename(path_.c_str(), target.c_str()) == 0;
    }
    if (!ok) {
        error = std::strerror(errno);
        return false;
    }
    platform::crashPoint("renamed", target);
    // The data and header, then the name: after a power cut the folder holds
    // the old file or the whole new one.
    syncFolderOf(target);
    path_ = target;
    finished_ = true;
    return true;
}

bool readJournal(int fd, JournalContent &content, std::string &error) {
    struct stat st {};
    std::uint8_t head[128] = {};
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    if (::fstat(fd, &st) != 0 || got < 0) {
        error = std::strerror(errno);
        return false;
    }
    if (got < 44 || (std::memcmp(head, "RIFF", 4) != 0 && std::memcmp(head, "RF64", 4) != 0) ||
        std::memcmp(head + 8, "WAVE", 4) != 0) {
        error = "it has no WAVE header";
        return false;
    }
    // The chunks before the samples: ds64 (RF64 only), fmt, then data.
    bool haveFormat = false;
    for (std::size_t at = 12; at + 8 <= std::size_t(got);) {
        const std::uint8_t *chunk = head + at;
        const std::uint32_t size = get32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat)
                break;
            content.headerBytes = at + 8;
            const auto frame = std::uint64_t(content.format.bytesPerFrame());
            const std::uint64_t after = std::uint64_t(st.st_size) > content.headerBytes
                                            ? std::uint64_t(st.st_size) - content.headerBytes
                                            : 0;
            content.dataBytes = after / frame * frame;
            // A finished file that was tagged (a list after its samples)
            // holds exactly the samples its header counts.
            std::uint64_t declared = size;
            if (size == 0xFFFFFFFFu && std::memcmp(head + 12, "ds64", 4) == 0)
                declared = get32(head + 28) | std::uint64_t(get32(head + 32)) << 32;
            char next[4] = {};
            if (declared < after &&
                ::pread(fd, next, 4, off_t(content.headerBytes + declared + (declared & 1))) == 4 &&
                std::memcmp(next, "LIST", 4) == 0)
                content.dataBytes = declared / frame * frame;
            return true;
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0 && at + 24 <= std::size_t(got) &&
            (get16(chunk + 8) == 1 || get16(chunk + 8) == 3)) {
            content.format.floating = get16(chunk + 8) == 3;
            content.format.channels = int(get16(chunk + 10));
            content.format.sampleRate = int(get32(chunk + 12));
            content.format.bitsPerSample = int(get16(chunk + 22));
            haveFormat = content.format.channels > 0 && content.format.bitsPerSample % 8 == 0 &&
                         content.format.bitsPerSample > 0 && content.format.sampleRate > 0;
        }
        at += 8 + size + (size & 1);
    }
    error = "its header is incomplete";
    return false;
}

bool sealJournal(int fd, const JournalContent &content, std::string &error) {
    const bool rf64 = content.headerBytes > 44;
    if (!rf64 && content.dataBytes > kMaxRiffData) {
        error = "its samples pass what a RIFF header can count";
        return false;
    }
    if (!cutToData(fd, content.headerBytes, content.dataBytes) ||
        !writeAt(fd, waveHeader(content.format, content.dataBytes, rf64), 0) || ::fsync(fd) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace audio
