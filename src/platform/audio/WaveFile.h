// PCM WAVE files: reading a file's format and sample data with libsndfile,
// and writing a canonical PCM WAVE file atomically.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace audio {

struct WaveFormat {
    int sampleRate = 44100;
    int channels = 2;
    int bitsPerSample = 16;
    int bytesPerFrame() const { return channels * bitsPerSample / 8; }
    bool operator==(const WaveFormat &) const = default;
};

/// Opens `path` as a PCM WAVE (or RF64) file of 8 or 16 bits, mono or stereo, and
/// copies its sample data, as stored, to `data` (which must be open for
/// writing). Returns false and sets `error` to what is wrong otherwise.
bool readWaveFile(const std::string &path, WaveFormat &format, std::FILE *data,
                  std::uint64_t &dataBytes, std::string &error);

/// Writes a canonical PCM WAVE file under `path`: the 44-byte header, then
/// `dataBytes` bytes read from `data` from its start; past the 4 GiB a RIFF
/// file can describe, an RF64 file (EBU Tech 3306). The file appears whole
/// or not at all: a temporary file in the same folder, synced, renamed over
/// `path`, then the folder synced. Returns false and sets `error` when it
/// cannot be written; nothing is left.
bool writeWaveFile(const std::string &path, const WaveFormat &format, std::FILE *data,
                   std::uint64_t dataBytes, std::string &error);

} // namespace audio
