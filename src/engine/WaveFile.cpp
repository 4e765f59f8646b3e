// Reading PCM WAVE files through libsndfile; writing canonical ones by hand,
// so that the header is exactly the 44 bytes players expect, or, past what
// a RIFF file can hold, the RF64 header of EBU Tech 3306.
#include "engine/WaveFile.h"

#include "platform/FileWrite.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace audio {
namespace {

void put16(std::uint8_t *p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
void put32(std::uint8_t *p, std::uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}
void put64(std::uint8_t *p, std::uint64_t v) {
    put32(p, std::uint32_t(v));
    put32(p + 4, std::uint32_t(v >> 32));
}

} // namespace

std::vector<std::uint8_t> waveHeader(const WaveFormat &format, std::uint64_t dataBytes, bool rf64) {
    // In RF64 the 32-bit sizes read 0xFFFFFFFF and the ds64 chunk holds the real ones.
    rf64 = rf64 || dataBytes > kMaxRiffData;
    std::vector<std::uint8_t> h(rf64 ? 80 : 44);
    std::uint8_t *p = h.data();
    const std::uint64_t riffSize = h.size() - 8 + dataBytes + (dataBytes & 1);
    std::memcpy(p, rf64 ? "RF64" : "RIFF", 4);
    put32(p + 4, rf64 ? 0xFFFFFFFFu : std::uint32_t(riffSize));
    std::memcpy(p + 8, "WAVE", 4);
    p += 12;
    if (rf64) {
        std::memcpy(p, "ds64", 4);
        put32(p + 4, 28);
        put64(p + 8, riffSize);
        put64(p + 16, dataBytes);
        put64(p + 24, dataBytes / std::uint64_t(format.bytesPerFrame()));
        put32(p + 32, 0); // no table of other chunks' sizes
        p += 36;
    }
    std::memcpy(p, "fmt ", 4);
    put32(p + 4, 16);
    put16(p + 8, format.floating ? 3 : 1); // IEEE float, or PCM
    put16(p + 10, static_cast<std::uint32_t>(format.channels));
    put32(p + 12, static_cast<std::uint32_t>(format.sampleRate));
    put32(p + 16, static_cast<std::uint32_t>(format.sampleRate * format.bytesPerFrame()));
    put16(p + 20, static_cast<std::uint32_t>(format.bytesPerFrame()));
    put16(p + 22, static_cast<std::uint32_t>(format.bitsPerSample));
    std::memcpy(p + 24, "data", 4);
    put32(p + 28, rf64 ? 0xFFFFFFFFu : std::uint32_t(dataBytes));
    return h;
}

bool syncFolderOf(const std::string &path) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool readWaveFile(const std::string &path, WaveFormat &format, std::FILE *data,
                  std::uint64_t &dataBytes, std::string &error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "it is a folder, not a file";
        return false;
    }
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        error =
            std::string("it is not a WAVE file that can be read (") + sf_strerror(nullptr) + ")";
        return false;
    }
    const int major = info.format & SF_FORMAT_TYPEMASK;
    const int sub = info.format & SF_FORMAT_SUBMASK;
    bool ok = true;
    if (major != SF_FORMAT_WAV && major != SF_FORMAT_RF64) {
        error = "it is not a WAVE file";
        ok = false;
    } else if (sub != SF_FORMAT_PCM_16 && sub != SF_FORMAT_PCM_U8 && sub != SF_FORMAT_PCM_24 &&
               sub != SF_FORMAT_PCM_32 && sub != SF_FORMAT_FLOAT) {
        error = "its samples are not 8-, 16-, 24- or 32-bit PCM, nor 32-bit float";
        ok = false;
    } else if (info.channels != 1 && info.channels != 2) {
        error = "it has " + std::to_string(info.channels) +
                " channels; only mono and stereo can be used";
        ok = false;
    } else if (info.samplerate < 1000 || info.samplerate > 192000) {
        error = "its sample rate of " + std::to_string(info.samplerate) + " Hz cannot be used";
        ok = false;
    }
    if (ok) {
        format.sampleRate = info.samplerate;
        format.channels = info.channels;
        format.bitsPerSample = sub == SF_FORMAT_PCM_U8   ? 8
                               : sub == SF_FORMAT_PCM_16 ? 16
                               : sub == SF_FORMAT_PCM_24 ? 24
                                                         : 32;
        format.floating = sub == SF_FORMAT_FLOAT;
        // The stored bytes are the device's content as they are: copy them raw.
        std::vector<char> buffer(1 << 16);
        dataBytes = 0;
        const std::uint64_t expected = std::uint64_t(info.frames) * format.bytesPerFrame();
        while (dataBytes < expected) {
            // Never past the last whole frame, even when the data chunk claims more.
            const auto want = std::min<std::uint64_t>(buffer.size(), expected - dataBytes);
            sf_count_t n = sf_read_raw(file, buffer.data(), static_cast<sf_count_t>(want));
            if (n <= 0)
                break;
            if (std::fwrite(buffer.data(), 1, static_cast<std::size_t>(n), data) !=
                static_cast<std::size_t>(n)) {
                error = std::string("its samples could not be copied: ") + std::strerror(errno);
                ok = false;
                break;
            }
            dataBytes += static_cast<std::uint64_t>(n);
        }
        if (ok && dataBytes < expected) {
            error = "its sample data is cut short";
            ok = false;
        }
    }
    sf_close(file);
    return ok;
}

bool writeWave(int fd, const WaveFormat &format, std::FILE *data, std::uint64_t dataBytes,
               std::string &error, std::uint64_t dataOffset) {
    const std::vector<std::uint8_t> header = waveHeader(format, dataBytes);
    bool ok = platform::writeAll(fd, header.data(), header.size());
    std::vector<char> buffer(1 << 20);
    std::uint64_t left = dataBytes;
    if (ok && ::fseeko(data, off_t(dataOffset), SEEK_SET) != 0)
        ok = false;
    bool hole = false; // the file ends in a stretch that was skipped
    while (ok && left > 0) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        std::size_t got = std::fread(buffer.data(), 1, want, data);
        if (got != want) {
            error = "the recorded data could not be read back";
            ok = false;
            break;
        }
        // Stretches of zero bytes are skipped, not written: the file system
        // reads them back as zeros and keeps no blocks for them.
        hole = got > 0 && buffer[0] == 0 &&
               std::memcmp(buffer.data(), buffer.data() + 1, got - 1) == 0;
        if (hole)
            ok = ::lseek(fd, off_t(got), SEEK_CUR) >= 0;
        else
            ok = platform::writeAll(fd, buffer.data(), got);
        left -= got;
    }
    if (ok && hole)
        ok = ::ftruncate(fd, ::lseek(fd, 0, SEEK_CUR)) == 0;
    // WAVE chunks are padded to an even size.
    if (ok && (dataBytes & 1))
        ok = platform::writeAll(fd, "", 1);
    if (!ok && error.empty())
        error = std::strerror(errno);
    std::fseek(data, 0, SEEK_END);
    return ok;
}

bool writeWaveFile(const std::string &path, const WaveFormat &format, std::FILE *data,
                   std::uint64_t dataBytes, std::string &error, std::uint64_t dataOffset) {
    std::string temp;
    const int fd = platform::makeTemporaryBeside(path, temp);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0644 & ~mask);
    if (!writeWave(fd, format, data, dataBytes, error, dataOffset)) {
        ::unlink(temp.c_str());
        ::close(fd);
        return false;
    }
    if (!platform::placeTemporary(fd, temp, path)) {
        error = std::strerror(errno);
        return false;
    }
    // The data, then the name: after a power cut the folder holds the old
    // file or the whole new one.
    syncFolderOf(path);
    return true;
}

} // namespace audio
