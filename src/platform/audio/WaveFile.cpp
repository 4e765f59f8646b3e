// Reading PCM WAVE files through libsndfile; writing canonical ones by hand,
// so that the header is exactly the 44 bytes players expect.
#include "platform/audio/WaveFile.h"

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

} // namespace

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
    if (major != SF_FORMAT_WAV) {
        error = "it is not a WAVE file";
        ok = false;
    } else if (sub != SF_FORMAT_PCM_16 && sub != SF_FORMAT_PCM_U8) {
        error = "its samples are not 8-bit or 16-bit PCM";
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
        format.bitsPerSample = sub == SF_FORMAT_PCM_16 ? 16 : 8;
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

bool writeWaveFile(const std::string &path, const WaveFormat &format, std::FILE *data,
                   std::uint64_t dataBytes, std::string &error) {
    // A RIFF chunk cannot describe more than 4 GiB.
    if (dataBytes > 0xFFFFFFFFull - 38) {
        error = "the recording is too long for a WAVE file";
        return false;
    }
    std::uint8_t header[44];
    std::memcpy(header, "RIFF", 4);
    put32(header + 4, static_cast<std::uint32_t>(36 + dataBytes + (dataBytes & 1)));
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put32(header + 16, 16);
    put16(header + 20, 1); // PCM
    put16(header + 22, static_cast<std::uint32_t>(format.channels));
    put32(header + 24, static_cast<std::uint32_t>(format.sampleRate));
    put32(header + 28, static_cast<std::uint32_t>(format.sampleRate * format.bytesPerFrame()));
    put16(header + 32, static_cast<std::uint32_t>(format.bytesPerFrame()));
    put16(header + 34, static_cast<std::uint32_t>(format.bitsPerSample));
    std::memcpy(header + 36, "data", 4);
    put32(header + 40, static_cast<std::uint32_t>(dataBytes));

    std::string temp;
    int fd = platform::makeTemporaryBeside(path, temp);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    ::fchmod(
        fd, 0644 & ~[] {
            mode_t mask = ::umask(0);
            ::umask(mask);
            return mask;
        }());
    bool ok = platform::writeAll(fd, header, sizeof header);
    std::vector<char> buffer(1 << 16);
    std::uint64_t left = dataBytes;
    if (ok && std::fseek(data, 0, SEEK_SET) != 0)
        ok = false;
    while (ok && left > 0) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        std::size_t got = std::fread(buffer.data(), 1, want, data);
        if (got != want) {
            error = "the recorded data could not be read back";
            ok = false;
            break;
        }
        ok = platform::writeAll(fd, buffer.data(), got);
        left -= got;
    }
    // WAVE chunks are padded to an even size.
    if (ok && (dataBytes & 1))
        ok = platform::writeAll(fd, "", 1);
    if (ok && ::fsync(fd) != 0)
        ok = false;
    int savedErrno = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        if (error.empty())
            error = std::strerror(savedErrno);
        ::unlink(temp.c_str());
    }
    std::fseek(data, 0, SEEK_END);
    return ok;
}

} // namespace audio
