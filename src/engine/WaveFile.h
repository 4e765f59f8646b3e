// PCM WAVE files: reading a file's format and sample data with libsndfile,
// and writing a canonical PCM WAVE file atomically.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace audio {

struct WaveFormat {
    int sampleRate = 44100;
    int channels = 2;
    int bitsPerSample = 16;
    bool floating = false; // 32-bit IEEE float samples rather than PCM
    int bytesPerFrame() const { return channels * bitsPerSample / 8; }
    bool operator==(const WaveFormat &) const = default;
};

/// Opens `path` as a WAVE (or RF64) file of 8-, 16-, 24- or 32-bit PCM or
/// 32-bit float samples, mono or stereo, and
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
/// `dataOffset` is where the sample data begins in `data`.
bool writeWaveFile(const std::string &path, const WaveFormat &format, std::FILE *data,
                   std::uint64_t dataBytes, std::string &error, std::uint64_t dataOffset = 0);

/// Writes the same file's bytes to `fd` from where it stands (not synced).
/// False with `error` when they cannot be written.
bool writeWave(int fd, const WaveFormat &format, std::FILE *data, std::uint64_t dataBytes,
               std::string &error, std::uint64_t dataOffset = 0);

/// The most sample data a RIFF WAVE file describes: its RIFF size counts the
/// 36 bytes of header after it and a pad byte. Past it a file is RF64.
inline constexpr std::uint64_t kMaxRiffData = 0xFFFFFFFFull - 38;

/// The header of a file with `dataBytes` bytes of samples: the canonical 44
/// bytes, or (past kMaxRiffData, or when `rf64` asks for it) an 80-byte RF64
/// header whose ds64 chunk holds the 64-bit sizes.
std::vector<std::uint8_t> waveHeader(const WaveFormat &format, std::uint64_t dataBytes,
                                     bool rf64 = false);

/// Makes a rename or a new file in the folder of `path` last through a power cut.
bool syncFolderOf(const std::string &path);

} // namespace audio
