// A recording written as a WAVE file while it is made, so that a crash or a
// power cut leaves a file that holds nearly all of it: the in-progress file.
#pragma once

#include "engine/WaveFile.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace audio {

/// The in-progress file of one recording: a WAVE header, then the samples
/// as they are appended. sync() makes what was appended survive a power
/// cut: first the samples, then the header that counts them, and the first
/// time also the folder entry. finish() renames the whole file into place.
/// While the journal lives, its file is locked (flock), so that a search
/// for interrupted recordings passes over a recording still being made.
class WaveJournal {
public:
    /// Creates (or empties) `path` and writes a header for no samples: a
    /// RIFF header, or an RF64 one when `expectedBytes` of samples would not
    /// fit a RIFF file. Null with `error` set when it cannot.
    static std::unique_ptr<WaveJournal> create(const std::string &path, const WaveFormat &format,
                                               std::uint64_t expectedBytes, std::string &error);
    ~WaveJournal();
    WaveJournal(const WaveJournal &) = delete;
    WaveJournal &operator=(const WaveJournal &) = delete;

    /// The file, positioned after the header; samples are appended to it.
    /// It stays the journal's.
    std::FILE *file() const { return file_; }
    std::uint64_t headerBytes() const { return headerBytes_; }
    const std::string &path() const { return path_; }

    /// Makes the first `dataBytes` bytes of samples durable (appended ones
    /// must have been flushed to the file): the samples, then the header
    /// that counts them, then (once) the folder entry. Any thread, one at a time.
    bool sync(std::uint64_t dataBytes);
    /// Syncs made so far.
    unsigned syncs() const { return syncs_; }

    /// Whether finish() can rename this file to `target`: the same file
    /// system, and a header that fits `dataBytes` as a plain WAVE file of
    /// that size would have it.
    bool canFinishAs(const std::string &target, std::uint64_t dataBytes) const;
    /// The final header for `dataBytes` of samples and its pad byte, the
    /// file synced, renamed over `target`, the folder synced. The file
    /// stays open (and readable) under its new name. A `target` that is the
    /// file's own name finishes it where it lies, unsynced: whoever makes
    /// the output from it syncs what it keeps.
    bool finish(const std::string &target, std::uint64_t dataBytes, std::string &error);
    /// True once finish() has made the file whole.
    bool finished() const { return finished_; }

private:
    WaveJournal() = default;
    bool writeHeader(std::uint64_t dataBytes);
    /// Drops the file's durable pages before byte `end` from the page cache.
    void forgetDurable(std::uint64_t end);

    std::string path_;
    WaveFormat format_;
    std::FILE *file_ = nullptr;
    std::uint64_t headerBytes_ = 0;
    unsigned syncs_ = 0;
    std::uint64_t forgotten_ = 0; // the pages before it were dropped from the cache
    bool finished_ = false;
};

/// An in-progress file as found after a crash: its format and the samples
/// that reached it, whole frames only.
struct JournalContent {
    WaveFormat format;
    std::uint64_t headerBytes = 0;
    std::uint64_t dataBytes = 0;
};

/// Reads what an in-progress file holds (its header's format and the samples
/// after it, counted from the file's length). False with `error` when it has
/// no usable header.
bool readJournal(int fd, JournalContent &content, std::string &error);

/// Makes the in-progress file open as `fd` a finished WAVE file in place:
/// its last partial frame cut, its header counting its samples, synced.
/// False with `error` when a header that big does not fit (the samples
/// passed a RIFF file's limit under a RIFF header) or it cannot be written.
bool sealJournal(int fd, const JournalContent &content, std::string &error);

} // namespace audio
