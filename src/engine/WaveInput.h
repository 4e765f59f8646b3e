// The wave input: the synthesiser's output as a recording device hears it,
// converted to the recording's format, and the recorder that spools it.
#pragma once

#include "engine/Engine.h"
#include "engine/SpscRing.h"
#include "engine/WaveFile.h"
#include "engine/WaveJournal.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct soxr;

namespace audio {

/// Converts the engine's stereo float stream (44100 Hz, or `inputRate`)
/// into a WAVE format: libsoxr for the rate, the channel average for mono,
/// and dithered quantisation to 8-bit unsigned, or 16-, 24- or 32-bit
/// signed samples; or 32-bit float samples as they are.
class WaveConverter {
public:
    explicit WaveConverter(const WaveFormat &format, int inputRate = kSampleRate,
                           bool dither = true);
    ~WaveConverter();
    WaveConverter(const WaveConverter &) = delete;
    WaveConverter &operator=(const WaveConverter &) = delete;

    /// Converts `frames` stereo frames and appends the samples to `out`.
    void process(const float *interleaved, std::size_t frames, std::vector<std::uint8_t> &out);
    /// Appends what the rate converter still holds, at the end of the stream.
    void flush(std::vector<std::uint8_t> &out);
    const WaveFormat &format() const { return format_; }
    /// Why the format cannot be converted to (its rate converter could not
    /// be made); empty when it can. Nothing may be converted then.
    const std::string &error() const { return error_; }

private:
    void quantise(const float *samples, std::size_t count, std::vector<std::uint8_t> &out);
    const float *ditherFor(std::size_t count);

    WaveFormat format_;
    int inputRate_;
    soxr *resampler_ = nullptr;
    std::vector<float> mixed_;
    std::vector<float> resampled_;
    std::uint32_t dither_ = 0x4B455354;
    std::vector<float> zeros_; // no dither
    bool dithering_ = true;    // else rounded to the nearest step
    std::string error_;
};

/// Hears what a recording holds as it is written, on the recorder's writer
/// thread: its samples as stored, as a WAVE reader reads them back.
class RecordingTap {
public:
    virtual ~RecordingTap() = default;
    /// `frames` frames, interleaved: as float, and, for PCM, as the stored
    /// value placed at the top of 32 bits (null for float samples).
    virtual void written(const float *samples, const std::int32_t *pcm, std::size_t frames) = 0;
};

/// Records the wave input from a given engine frame on. On an engine that
/// runs in real time, the engine hands each period to a lock-free ring, and
/// a writer thread converts and appends it to the spool file: the engine
/// thread never touches a file. A driven engine has no time to keep: the
/// thread that drives it converts and writes each period as it is rendered.
class WaveRecorder : public EngineSink {
public:
    /// `spool` receives the converted samples from its current end.
    WaveRecorder(std::shared_ptr<Engine> engine, const WaveFormat &format, std::FILE *spool);
    ~WaveRecorder() override;

    /// Before start(): the spool is the in-progress file `journal`, written
    /// without buffering and synced once a second, so that a crash loses at
    /// most about a second of the recording. When its disk fails or fills,
    /// the rest of the recording goes on into a scratch file (spill()).
    void setJournal(WaveJournal *journal) { journal_ = journal; }
    /// Bytes of the recording in the in-progress file; the rest, if any, is
    /// in spill() (only final after stop()).
    std::uint64_t journalBytes() const { return spill_ ? journalBytes_ : bytesWritten(); }
    /// The scratch file that took the recording's rest, or null.
    std::FILE *spill() const { return spill_; }

    /// The recording ends by itself after exactly `frames` frames of its
    /// format (before start(), or while it runs). Call with the engine lock
    /// held once it runs.
    void limit(std::int64_t frames);
    /// As limit(), counted from the engine frame `frame` on: the recording's
    /// frames up to it (whole frames of its format, rounded up), then `tail`.
    /// Call with the engine lock held.
    void limitAt(std::int64_t frame, std::int64_t tail);
    /// The recording also ends once the sound after the engine frame `frame`
    /// has stayed below `threshold` for `hold` engine frames, with what it
    /// has then (the limit is only the longest it gets). Call with the
    /// engine lock held once it runs.
    void endWhenQuiet(std::int64_t frame, float threshold, std::int64_t hold);
    /// The sound fades out over `frames` engine frames from the engine
    /// frame `from` (a raised cosine), and is silent after them. Call with
    /// the engine lock held once it runs.
    void fadeOut(std::int64_t from, std::int64_t frames);
    /// Called once, on the rendering thread with the engine lock held, when
    /// the recording has reached its end. Call with the engine lock held
    /// once it runs.
    void onEnd(std::function<void()> ended) { ended_ = std::move(ended); }
    bool limited() const { return limitFrames_ >= 0; }
    std::int64_t limitFrames() const { return limitFrames_; }
    /// The recording has reached its end (any thread).
    bool complete() const { return complete_.load(); }

    /// Before start(): the recording takes channel `channel`'s own sound
    /// (Engine::stemPeriod) instead of the mix.
    void takeChannel(int channel) { channel_ = channel; }
    /// Before start(): the recording ends where `leader`, started at the same
    /// frame, ends (whatever ended it), besides its own limit.
    void follow(const WaveRecorder *leader) { leader_ = leader; }

    /// Before start(): what the recording holds also goes to `tap` as it is
    /// written (complete after stop()).
    void tap(RecordingTap *tap) { tap_ = tap; }

    /// Why nothing can be recorded in this format (see WaveConverter::error);
    /// empty when it can. Check it before start().
    const std::string &formatError() const { return converter_.error(); }
    /// Starts recording where the engine starts a recording now: from the
    /// first frame of the song it plays, else at its next period.
    void start();
    /// Stops at the engine's next period; returns when every period up to
    /// then is in the spool.
    void stop();

    /// Bytes appended to the spool so far (only final after stop()).
    std::uint64_t bytesWritten() const { return bytesWritten_.load(); }
    /// Frames taken from the engine so far (any thread).
    std::int64_t framesCaptured() const { return framesCaptured_.load(); }
    /// The loudest sample taken so far from a real input (any thread); the
    /// synthesiser's own sound is not looked at.
    float peak() const { return peak_.load(std::memory_order_relaxed); }
    /// Set when writing to the spool failed; the text says why.
    bool failed() const { return failed_.load(); }
    std::string failure() const;

    void period(std::int64_t periodStart, const float *frames) override;

private:
    using Period = std::array<float, std::size_t(kPeriodFrames) * kChannels>;
    static const float *silence();
    void writerLoop();
    void finishWriting();
    void writeSamples(const float *frames);
    void keepJournal(bool now);
    void tapConverted();
    void writePending();
    bool spillFrom(const std::uint8_t *data, std::size_t size);

    std::shared_ptr<Engine> engine_;
    const bool direct_; // written as rendered, on the thread that drives the engine
    WaveConverter converter_;
    std::FILE *spool_;
    WaveJournal *journal_ = nullptr;
    std::FILE *spill_ = nullptr; // the recorder's own
    std::uint64_t journalBytes_ = 0;
    SpscRing<Period> ring_;
    // Periods that found the ring full wait here, so that a stalled disk
    // costs memory for a while but never a gap in the recording.
    std::mutex overflowMutex_;
    std::deque<Period> overflow_;
    bool overflowing_ = false; // engine thread only
    std::atomic<bool> finishing_{false};
    std::mutex wakeMutex_;
    std::condition_variable wake_; // the writer waits here for periods
    std::atomic<std::int64_t> framesCaptured_{0};
    std::atomic<std::uint64_t> bytesWritten_{0};
    std::atomic<bool> failed_{false};
    std::string failure_;
    std::vector<std::uint8_t> converted_;
    std::vector<std::uint8_t> pending_; // converted, not written yet
    RecordingTap *tap_ = nullptr;
    int channel_ = -1;                     // -1: the mix
    const WaveRecorder *leader_ = nullptr; // guarded by the engine lock
    std::vector<float> tapped_;            // what converted_ reads back as
    std::vector<std::int32_t> tappedPcm_;
    std::thread writer_;
    bool attached_ = false;
    std::int64_t startFrame_ = 0; // guarded by the engine lock
    // Where the recording ends, guarded by the engine lock: after
    // limitFrames_ frames of the format (-1: no limit), which neededInput_
    // engine frames give; or once it is quiet after quietFrom_.
    std::int64_t limitFrames_ = -1;
    std::int64_t neededInput_ = 0;
    std::int64_t quietFrom_ = -1;
    float quietThreshold_ = 0;
    std::int64_t quietHold_ = 0;
    std::int64_t fadeFrom_ = -1; // fadeOut()'s; -1: none
    std::int64_t fadeFrames_ = 0;
    std::vector<float> faded_; // a period as it fades
    const float *faded(std::int64_t periodStart, const float *frames);
    std::int64_t lastLoudEnd_ = 0; // where the sound last was above the threshold
    std::function<void()> ended_;
    std::atomic<bool> complete_{false};
    // The writer's copy of the limit in bytes (none: all ones), and whether
    // the recording ended at it and is made up to it exactly.
    std::atomic<std::uint64_t> limitBytes_{UINT64_MAX};
    std::atomic<bool> fillToLimit_{false};
    std::atomic<float> peak_{0.0f};
    std::chrono::steady_clock::time_point lastSync_; // the writing thread's
    std::uint64_t syncedBytes_ = 0;                  // bytesWritten_ at lastSync_
};

} // namespace audio
