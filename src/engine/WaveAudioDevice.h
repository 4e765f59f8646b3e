// The wave-audio device: content in one WAVE format (a file's, or none yet),
// recorded into from the engine's wave input at a position, and saved as a
// WAVE file.
#pragma once

#include "engine/Engine.h"
#include "engine/WaveFile.h"
#include "engine/WaveInput.h"
#include "engine/WaveJournal.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace audio {

class WaveAudioDevice {
public:
    /// A device that records from `engine` (which it keeps); null for one
    /// that only reads and saves.
    explicit WaveAudioDevice(std::shared_ptr<Engine> engine = {});
    ~WaveAudioDevice();
    WaveAudioDevice(const WaveAudioDevice &) = delete;
    WaveAudioDevice &operator=(const WaveAudioDevice &) = delete;

    /// Opens with no content, in `format`. False with `error` when the
    /// engine's real input, named in devices.ini, cannot be used.
    bool create(const WaveFormat &format, std::string &error);
    /// Opens with the format and the samples of the WAVE file `file`.
    /// False with `error` naming the file and what is wrong with it.
    bool open(const std::string &file, std::string &error);
    /// Discards the content and a recording in progress. An in-progress
    /// file it recorded into and did not save stays, for a later recovery.
    void close();
    bool isOpen() const { return open_; }

    const WaveFormat &format() const { return format_; }
    /// Gives a device that holds nothing yet another format.
    bool setFormat(const WaveFormat &format, std::string &error);

    /// Records the wave input, inserted at the position, from the engine's
    /// next period until stop() or an end set below. With a `journal` named
    /// (and none made yet), the recording is written to that in-progress
    /// file as it goes: an RF64 file from the start when `expectedFrames`
    /// will not fit a RIFF one. `ended` is called once when the recording
    /// reaches an end set below, on the rendering thread with the engine
    /// lock held. Already recording, nothing changes but `ended`, which
    /// replaces the one before. False with `error` when it cannot start.
    bool record(const std::string &journal, std::function<void()> ended, std::string &error,
                std::int64_t expectedFrames = 0);
    /// What the next recording holds also goes to `tap` as it is written
    /// (null: nowhere), complete once it has stopped.
    void tap(RecordingTap *tap) { tap_ = tap; }
    /// The next recording takes channel `channel`'s own sound instead of
    /// the mix (-1), and ends where `leader`'s recording, started with it,
    /// ends (null: by its own end only). The leader is stopped and closed
    /// after this device.
    void takeChannel(int channel, const WaveAudioDevice *leader) {
        channel_ = channel;
        leader_ = leader;
    }
    /// The recording ends by itself `frames` frames (of its format) after
    /// the position it started at; at once when it holds that many already.
    void endAfter(std::int64_t frames);
    /// The recording ends by itself `tail` frames (of its format) after the
    /// engine frame `frame`, counted as whole frames of its format from its
    /// start.
    void endAt(std::int64_t frame, std::int64_t tail);
    /// The recording ends by itself where the sound, after the engine frame
    /// `frame`, has stayed below `threshold` for `hold` engine frames; and
    /// at the latest `most` frames (of its format) after `frame`.
    void endWhenQuiet(std::int64_t frame, float threshold, std::int64_t hold, std::int64_t most);
    /// The sound fades out over `frames` engine frames from the engine
    /// frame `from`, and is silent after them.
    void fadeOut(std::int64_t from, std::int64_t frames);
    /// Stops recording; returns when every period up to now is in the content.
    void stop();
    /// Whether a recording runs and has not reached its end.
    bool recording() const;
    void seekToStart();

    /// Writes the content as a canonical WAVE file, atomically: an
    /// in-progress file that holds the whole content, in the same file
    /// system, is renamed into place (or, when `file` is its own name,
    /// finished where it lies), else the content is copied. On failure
    /// nothing is left under the name and the content stays; `error` says why.
    bool save(const std::string &file, std::string &error);

    /// The content's length and the position, in frames of its format; a
    /// recording in progress counts by the frames the engine handed over.
    std::int64_t lengthFrames() const;
    std::int64_t positionFrames() const;
    /// The loudest sample the last recording took from a real input.
    float peak() const { return recorder_ ? recorder_->peak() : 0.0f; }

private:
    std::uint64_t recordingBytes() const;
    bool foldRecording(std::string &error);
    void release(std::FILE *&file);

    const std::shared_ptr<Engine> engine_;
    bool open_ = false;
    WaveFormat format_;
    std::FILE *content_ = nullptr;    // the content, as WAVE sample data
    std::uint64_t contentOffset_ = 0; // where the samples begin in content_
    std::uint64_t contentBytes_ = 0;
    std::uint64_t positionBytes_ = 0; // where the next recording goes
    std::FILE *take_ = nullptr; // the recording in progress, or the last one not yet folded in
    std::uint64_t takeOffset_ = 0;
    // The in-progress file, when a recording went to one: it owns the file
    // that take_ or content_ then is.
    std::unique_ptr<WaveJournal> journal_;
    std::unique_ptr<WaveRecorder> recorder_;
    bool recording_ = false;
    RecordingTap *tap_ = nullptr;
    int channel_ = -1;
    const WaveAudioDevice *leader_ = nullptr;
    std::string failure_; // why the content is incomplete, if it is
};

} // namespace audio
