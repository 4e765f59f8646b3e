// The sound engine: one per process, a frame clock at 44100 Hz that renders
// the synthesiser in periods of 256 frames and hands each period to the
// recorders. With no sound card it paces itself by the steady clock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace audio {

inline constexpr int kSampleRate = 44100;
inline constexpr int kChannels = 2;
inline constexpr int kPeriodFrames = 256;

class Synthesiser;

/// Feeds the synthesiser: called on the engine thread, with the engine lock
/// held, just before each 64-frame block is rendered.
class EngineSource {
public:
    virtual ~EngineSource() = default;
    virtual void beforeBlock(std::int64_t blockStart, Synthesiser &synth) = 0;
};

/// Takes the engine's output: called on the engine thread, with the engine
/// lock held, once for every period (kPeriodFrames interleaved stereo frames).
class EngineSink {
public:
    virtual ~EngineSink() = default;
    virtual void period(std::int64_t periodStart, const float *frames) = 0;
};

class Engine {
public:
    /// The running engine, started if no device holds it yet. The engine
    /// stops when the last holder lets go.
    static std::shared_ptr<Engine> acquire();

    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    /// The engine lock: taken by the engine around each period, and by the
    /// devices to change what they feed or take.
    std::mutex &lock() { return mutex_; }

    /// The first frame of the next period to begin by the clock: where a
    /// playback or recording started now begins. The engine may render a
    /// few periods late, but never moves a start. Call with the lock held.
    std::int64_t nextPeriodFrame() const;
    /// Renders every period the clock has reached, now, in the calling
    /// thread: devices call it before they stop, so that what they stop
    /// ends where the clock stands. Call with the lock held.
    void catchUp();

    /// Frames rendered so far (any thread).
    std::int64_t framesRendered() const { return rendered_.load(std::memory_order_acquire); }

    /// Loads the synthesiser if it is not loaded yet. Returns false and sets
    /// `error` when there is no SoundFont or it cannot be loaded. Takes the lock.
    bool ensureSynthesiser(std::string &error);
    /// The synthesiser, or null. Call with the lock held.
    Synthesiser *synthesiser() { return synth_.get(); }

    /// Attach and detach a source or sink. Call with the lock held.
    void addSource(EngineSource *source);
    void removeSource(EngineSource *source);
    void addSink(EngineSink *sink);
    void removeSink(EngineSink *sink);

    /// Where the last playback and the last recording started, in frames.
    std::atomic<std::int64_t> lastPlayStartFrame{-1};
    std::atomic<std::int64_t> lastRecordStartFrame{-1};

    /// Benchmarks only: run the clock this many times faster than real time.
    /// Takes effect at the next start of the engine.
    static void setTimeScale(double scale);

private:
    Engine();
    void run();
    std::int64_t clockFrame() const;
    void renderPeriod();

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::int64_t frame_ = 0;
    std::atomic<std::int64_t> rendered_{0};
    std::unique_ptr<Synthesiser> synth_;
    std::vector<EngineSource *> sources_;
    std::vector<EngineSink *> sinks_;
    std::vector<float> buffer_;
    double timeScale_ = 1.0;
    std::chrono::steady_clock::time_point start_;
    std::thread thread_; // started last, stopped first
};

} // namespace audio
