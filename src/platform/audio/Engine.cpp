// The engine's clocks (the steady clock's thread, or a driver), catch-up
// after delays, and the rendering of each period in synthesiser-sized blocks.
#include "platform/audio/Engine.h"

#include "platform/audio/DeviceConfig.h"
#include "platform/audio/Synthesiser.h"

#include <algorithm>
#include <chrono>

namespace audio {
namespace {

std::mutex g_instanceMutex;
std::weak_ptr<Engine> g_instance;
std::atomic<double> g_timeScale{1.0};
std::atomic<Engine::Clock> g_clock{Engine::Clock::Steady};

// Periods rendered per wake-up of the engine thread (about 93 ms): waking
// costs more than rendering, as the synthesiser's caches go cold in between.
// Nothing hears the engine live, and devices catch it up when they stop.
constexpr int kWakePeriods = 16;

} // namespace

std::shared_ptr<Engine> Engine::acquire() {
    std::lock_guard<std::mutex> guard(g_instanceMutex);
    std::shared_ptr<Engine> engine = g_instance.lock();
    if (!engine) {
        engine.reset(new Engine(g_clock.load()));
        g_instance = engine;
    }
    return engine;
}

void Engine::setTimeScale(double scale) {
    g_timeScale.store(scale > 0 ? scale : 1.0);
}

void Engine::setClock(Clock clock) {
    g_clock.store(clock);
}

Engine::Engine(Clock clock)
    : clock_(clock), buffer_(std::size_t(kPeriodFrames) * kChannels),
      timeScale_(g_timeScale.load()), start_(std::chrono::steady_clock::now()) {
    if (clock_ == Clock::Steady)
        thread_ = std::thread([this] { run(); });
}

std::int64_t Engine::clockFrame() const {
    if (clock_ == Clock::Driven)
        return due_;
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - start_);
    return static_cast<std::int64_t>(static_cast<double>(elapsed.count()) * kSampleRate *
                                     timeScale_ / 1e9);
}

std::int64_t Engine::nextPeriodFrame() const {
    const std::int64_t now = clockFrame();
    const std::int64_t boundary = (now + kPeriodFrames - 1) / kPeriodFrames * kPeriodFrames;
    return std::max(frame_, boundary);
}

void Engine::catchUp() {
    const std::int64_t due = clockFrame();
    while (frame_ + kPeriodFrames <= due)
        renderPeriod();
}

void Engine::advanceClock(std::int64_t frames) {
    if (clock_ == Clock::Driven && frames > 0)
        due_ += frames;
}

void Engine::drive(std::int64_t frames) {
    advanceClock(frames);
    catchUp();
}

Engine::~Engine() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool Engine::ensureSynthesiser(std::string &error) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (synth_)
            return true;
    }
    std::string soundFont = findSoundFont();
    if (soundFont.empty()) {
        error = noSoundFontMessage();
        return false;
    }
    // Loading takes a while; the engine keeps running meanwhile.
    std::unique_ptr<Synthesiser> synth = Synthesiser::create(soundFont, error);
    if (!synth)
        return false;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!synth_)
        synth_ = std::move(synth);
    return true;
}

bool Engine::renewSynthesiser(std::string &error) {
    if (!synth_)
        return true;
    std::unique_ptr<Synthesiser> fresh = synth_->renewed(error);
    if (!fresh)
        return false;
    synth_ = std::move(fresh);
    synthStarted_ = false;
    return true;
}

void Engine::addSource(EngineSource *source) {
    sources_.push_back(source);
}
void Engine::removeSource(EngineSource *source) {
    sources_.erase(std::remove(sources_.begin(), sources_.end(), source), sources_.end());
}
void Engine::addSink(EngineSink *sink) {
    sinks_.push_back(sink);
}
void Engine::removeSink(EngineSink *sink) {
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

void Engine::run() {
    const double framesPerNs = kSampleRate * timeScale_ / 1e9;
    std::unique_lock<std::mutex> guard(mutex_);
    while (!stopping_) {
        // Render every whole period the clock has reached, so that a delay
        // never shortens the stream.
        const std::int64_t due = clockFrame();
        while (frame_ + kPeriodFrames <= due && !stopping_) {
            renderPeriod();
            // Let the devices in between periods while catching up.
            guard.unlock();
            guard.lock();
        }
        // Sleep until the next batch of periods is due.
        const auto nextNs = static_cast<std::int64_t>(
            static_cast<double>(frame_ + kWakePeriods * kPeriodFrames) / framesPerNs);
        wake_.wait_until(guard, start_ + std::chrono::nanoseconds(nextNs),
                         [this] { return stopping_; });
    }
}

void Engine::renderPeriod() {
    float *out = buffer_.data();
    for (int offset = 0; offset < kPeriodFrames; offset += Synthesiser::kBlockFrames) {
        const std::int64_t blockStart = frame_ + offset;
        float *block = out + std::size_t(offset) * kChannels;
        if (synth_) {
            for (EngineSource *source : sources_)
                source->beforeBlock(blockStart, *synth_);
        }
        if (synth_ && synthStarted_) {
            synth_->render(block, Synthesiser::kBlockFrames);
        } else {
            std::fill(block, block + Synthesiser::kBlockFrames * kChannels, 0.0f);
        }
    }
    for (EngineSink *sink : sinks_)
        sink->period(frame_, out);
    frame_ += kPeriodFrames;
    rendered_.store(frame_, std::memory_order_release);
}

} // namespace audio
