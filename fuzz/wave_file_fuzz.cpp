// Fuzz target: the WAVE reader must refuse or accept any file without
// crashing, and what it accepts must be a format the recorder can use.
#include "engine/WaveFile.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The reader takes a path: give it one in memory.
    const int fd = memfd_create("wave", 0);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size))
        std::abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::FILE *spool = std::tmpfile();
    audio::WaveFormat format;
    std::uint64_t bytes = 0;
    std::string error;
    if (audio::readWaveFile(path, format, spool, bytes, error)) {
        // 8-, 16-, 24- or 32-bit PCM, or 32-bit float; mono or stereo; whole frames.
        const int bits = format.bitsPerSample;
        const bool depth =
            format.floating ? bits == 32 : bits == 8 || bits == 16 || bits == 24 || bits == 32;
        if (!depth || (format.channels != 1 && format.channels != 2) ||
            bytes % format.bytesPerFrame())
            std::abort();
    } else if (error.empty()) {
        std::abort();
    }
    std::fclose(spool);
    close(fd);
    return 0;
}
