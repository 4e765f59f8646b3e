// The engine's clocks (a sound server's requests, the steady clock's thread,
// or a driver), catch-up after delays, the fall back from a lost output to
// the steady clock, and the rendering of each period in synthesiser-sized
// blocks.
#include "engine/Engine.h"

#include "engine/DeviceConfig.h"
#include "engine/MidiAlsa.h"
#include "engine/MidiTarget.h"
#include "engine/Output.h"
#include "engine/PeriodHistory.h"
#include "engine/SoundSystem.h"
#include "engine/Synthesiser.h"
#include "platform/Paths.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace audio {
namespace {

// Periods rendered per wake-up of the steady clock's thread (about 93 ms):
// waking costs more than rendering, as the synthesiser's caches go cold in
// between. Nothing hears that engine live, and devices catch it up when they
// stop.
constexpr int kWakePeriods = 16;

} // namespace

Engine::Engine(const EngineSettings &settings, std::shared_ptr<SoundNotices> notices)
    : Engine(settings, std::move(notices), nullptr) {}

std::unique_ptr<Engine> Engine::tryOutput(const EngineSettings &settings, std::string &error) {
    EngineSettings steady = settings;
    steady.clock = Clock::Steady;
    return std::unique_ptr<Engine>(new Engine(steady, nullptr, &error));
}

Engine::Engine(const EngineSettings &settings, std::shared_ptr<SoundNotices> notices,
               std::string *error)
    : settings_(settings),
      rate_(settings.clock == Clock::Driven && settings.sampleRate > 0 ? settings.sampleRate
                                                                       : kSampleRate),
      notices_(notices ? std::move(notices) : std::make_shared<SoundNotices>()),
      clock_(settings.clock), buffer_(std::size_t(kOutputFrames) * kChannels),
      timeScale_(settings.timeScale > 0 ? settings.timeScale : 1.0),
      start_(std::chrono::steady_clock::now()) {
    // A second of what the recorders are handed. Stems are not kept: their
    // recordings start with the song on an engine whose clock waits for them.
    const std::size_t kept =
        settings.stems ? 0 : std::size_t(rate_ + kPeriodFrames - 1) / kPeriodFrames;
    history_ = std::make_unique<PeriodHistory>(kept, kPeriodFrames, kChannels);
    if (settings.clock == Clock::Driven)
        return;
    // The output is opened without the lock: the server may ask for audio
    // before it has answered.
    const DevicesConfig &config = settings.devices;
    volume_ = float(config.volume) / 100.0f;
    OutputChoice choice = openOutput(*this, config, error != nullptr, timeScale_ == 1.0);
    std::unique_ptr<Output> output = std::move(choice.output);
    sequencerError_ = choice.sequencerError;
    inputError_ = choice.inputError;
    if (error)
        *error = choice.error;
    if (!choice.notice.empty())
        notices_->postOnce(choice.notice);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (output) {
            output_ = std::move(output);
            clock_ = Clock::Output;
        } else {
            startSteadyClock();
        }
    }
    openOutsideParts(config);
}

void Engine::openOutsideParts(const DevicesConfig &config) {
    // The outside synthesiser and the real input that devices.ini names,
    // once the clock runs (a capture keeps time by it).
    const std::string file = paths::devicesFile();
    outside_ = config.outsideSynthesiser();
    if (config.sequencer == "jack") {
        if (output_ && output_->midiPort())
            external_ = output_->midiPort();
    } else if (config.sequencer == "alsa") {
        std::string why;
        alsa_ = AlsaMidi::open(*this, config.port, why);
        if (alsa_)
            external_ = alsa_.get();
        else
            sequencerError_ = "The ALSA sequencer port \"" + config.port + "\" named in " + file +
                              " cannot be used: " + why;
    } else if (!sequencerChoice().allows(config.sequencer)) {
        sequencerError_ = sequencerChoice().name() + "=" + config.sequencer + " in " + file +
                          " is none of " + sequencerChoice().listed();
    }
    // The frames between an event's frame and its sound reaching the
    // input, as far as the servers tell; the calibration's offset adds what
    // they do not (a synthesiser's own delay, a cable, a sound card).
    std::int64_t latency = config.offset;
    bool capturing = false;
    if (alsa_)
        latency += alsa_->lead();
    else if (external_ && output_)
        latency += output_->midiLatency();
    if (config.input == "jack") {
        capturing = inputError_.empty();
        if (output_)
            latency += output_->captureLatency();
    } else if (config.input == "pulse") {
        std::string why;
        pulseInput_ = openPulseCapture(*this, config.inputDevice, why);
        if (pulseInput_)
            capturing = true;
        else
            inputError_ = "The PulseAudio source \"" + config.inputDevice + "\" named in " + file +
                          " cannot be used: " + why;
    } else if (!inputChoice().allows(config.input)) {
        inputError_ = inputChoice().name() + "=" + config.input + " in " + file + " is none of " +
                      inputChoice().listed();
    }
    // The server threads may already be delivering input: they see the
    // capture only once all of its state is in place.
    std::lock_guard<std::mutex> guard(mutex_);
    inputShift_ = latency;
    inputPeriod_.assign(std::size_t(kPeriodFrames) * kChannels, 0.0f);
    capturing_ = capturing;
}

Engine::~Engine() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    // The servers' threads first: they may be waiting for the lock.
    pulseInput_.reset();
    output_.reset();
    alsa_.reset();
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void Engine::startSteadyClock() {
    // The steady clock goes on from the frame the engine has reached.
    start_ = std::chrono::steady_clock::now();
    startFrame_ = double(frame_);
    pace_ = 1.0;
    clock_ = Clock::Steady;
    thread_ = std::thread([this] { run(); });
}

std::int64_t Engine::clockFrame() const {
    switch (clock_.load()) {
    case Clock::Driven:
        return due_;
    case Clock::Output:
        return frame_; // the server has asked for everything rendered
    case Clock::Steady:
        break;
    }
    return std::int64_t(steadyFrame(std::chrono::steady_clock::now()));
}

double Engine::steadyFrame(std::chrono::steady_clock::time_point when) const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(when - start_);
    return startFrame_ + double(elapsed.count()) * rate_ * timeScale_ * pace_ / 1e9;
}

void Engine::followInput(double pace) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (clock_ != Clock::Steady || stopping_)
        return;
    // From the frame the clock stands at, without a jump.
    const auto now = std::chrono::steady_clock::now();
    ahead_ = aheadAt(now);
    startFrame_ = steadyFrame(now);
    start_ = now;
    pace_ = pace;
}

double Engine::aheadAt(std::chrono::steady_clock::time_point when) const {
    // Of the frames run at a pace since start_, all but the nominal ones.
    return ahead_ + (steadyFrame(when) - startFrame_) * (1 - 1 / pace_);
}

std::chrono::steady_clock::time_point Engine::steadyTimeOf(std::int64_t frame) const {
    const double ns = (double(frame) - startFrame_) * 1e9 / (rate_ * timeScale_ * pace_);
    return start_ + std::chrono::nanoseconds(std::int64_t(ns));
}

std::optional<std::chrono::steady_clock::time_point> Engine::timeOf(std::int64_t frame) const {
    switch (clock_.load()) {
    case Clock::Steady:
        return steadyTimeOf(frame);
    case Clock::Output:
        return output_->timeOf(frame);
    case Clock::Driven:
        break;
    }
    return std::nullopt;
}

std::int64_t Engine::nextPeriodFrame() const {
    const std::int64_t now = clockFrame();
    const std::int64_t boundary = (now + kPeriodFrames - 1) / kPeriodFrames * kPeriodFrames;
    return std::max(frame_, boundary);
}

std::int64_t Engine::recordingStartFrame() const {
    const std::int64_t next = nextPeriodFrame();
    if (songFrom_ != INT64_MIN && songFrom_ <= next && history_->keepsFrom(songFrom_))
        return songFrom_;
    return next;
}

void Engine::songStarted(std::int64_t frame) {
    songFrom_ = frame;
    lastPlayStartFrame.store(frame);
}

void Engine::songStopped() {
    songFrom_ = INT64_MIN;
}

void Engine::catchUp() {
    const std::int64_t due = clockFrame();
    while (frame_ + kPeriodFrames <= due)
        renderPeriod(buffer_.data());
}

void Engine::advanceClock(std::int64_t frames) {
    if (clock_ == Clock::Driven && frames > 0)
        due_ += frames;
}

void Engine::drive(std::int64_t frames) {
    advanceClock(frames);
    catchUp();
}

template <typename Copy> void Engine::pullFrames(std::size_t frames, Copy copy) {
    std::lock_guard<std::mutex> guard(mutex_);
    markRequest();
    std::size_t done = 0;
    while (done < frames) {
        if (delivered_ == buffered_)
            refill(frames);
        const std::size_t n = std::min(frames - done, buffered_ - delivered_);
        copy(buffer_.data() + delivered_ * kChannels, done, n);
        delivered_ += n;
        done += n;
    }
}

void Engine::pull(float *out, std::size_t frames) {
    const float volume = volume_;
    pullFrames(frames, [&](const float *from, std::size_t at, std::size_t n) {
        for (std::size_t i = 0; i < n * kChannels; ++i)
            out[at * kChannels + i] = from[i] * volume;
    });
}

void Engine::pull(float *left, float *right, std::size_t frames) {
    const float volume = volume_;
    pullFrames(frames, [&](const float *from, std::size_t at, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            left[at + i] = from[2 * i] * volume;
            right[at + i] = from[2 * i + 1] * volume;
        }
    });
}

void Engine::cycle(float *left, float *right, std::size_t frames,
                   void (*after)(void *data, std::int64_t start), void *data) {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::int64_t start = markRequest();
    const float volume = volume_;
    std::size_t done = 0;
    while (done < frames) {
        if (delivered_ == buffered_)
            refill(frames);
        const std::size_t n = std::min(frames - done, buffered_ - delivered_);
        if (left && right) {
            const float *from = buffer_.data() + delivered_ * kChannels;
            for (std::size_t i = 0; i < n; ++i) {
                left[done + i] = from[2 * i] * volume;
                right[done + i] = from[2 * i + 1] * volume;
            }
        }
        delivered_ += n;
        done += n;
    }
    if (after)
        after(data, start);
}

MidiTarget *Engine::midiTarget() {
    if (outside_)
        return external_;
    return internal_.get();
}

void Engine::captureLocked(std::int64_t frame, const float *left, const float *right,
                           std::size_t frames) {
    toRecorders(frame, left, right, 1, frames);
}

void Engine::capture(std::int64_t frame, const float *interleaved, std::size_t frames) {
    std::lock_guard<std::mutex> guard(mutex_);
    toRecorders(frame, interleaved, interleaved + 1, 2, frames);
}

void Engine::toRecorders(std::int64_t frame, const float *left, const float *right,
                         std::size_t step, std::size_t frames) {
    // What reached the input at `frame` answers the MIDI sent `inputShift_`
    // frames before: the recorders take it there, in whole periods.
    if (!capturing_)
        return;
    inputClock_.at = frame + std::int64_t(frames);
    inputClock_.heard += std::int64_t(frames);
    auto hand = [this](std::int64_t start) {
        toSinks(start, inputPeriod_.data());
        std::fill(inputPeriod_.begin(), inputPeriod_.end(), 0.0f);
    };
    for (std::size_t i = 0; i < frames; ++i) {
        const std::int64_t at = frame - inputShift_ + std::int64_t(i);
        if (at < inputNext_)
            continue; // heard again (a server going back): the recorders have it
        const std::int64_t start =
            (at >= 0 ? at : at - kPeriodFrames + 1) / kPeriodFrames * kPeriodFrames;
        if (start != inputPeriodStart_) {
            // A period left short (the input skipped frames) goes as it is:
            // silence where nothing was heard.
            if (inputPeriodStart_ != INT64_MIN)
                hand(inputPeriodStart_);
            inputPeriodStart_ = start;
        }
        const auto slot = std::size_t(at - start) * kChannels;
        inputPeriod_[slot] = left[i * step];
        inputPeriod_[slot + 1] = right[i * step];
        inputNext_ = at + 1;
        if (at - start == kPeriodFrames - 1) {
            hand(start);
            inputPeriodStart_ = INT64_MIN;
        }
    }
}

std::int64_t Engine::markRequest() {
    askedFrame_ = frame_ - std::int64_t(buffered_) + std::int64_t(delivered_);
    askedAt_ = std::chrono::steady_clock::now();
    return askedFrame_;
}

Engine::InputClock Engine::inputClock() {
    std::lock_guard<std::mutex> guard(mutex_);
    InputClock clock = inputClock_;
    clock.ahead = clock_ == Clock::Steady ? aheadAt(std::chrono::steady_clock::now()) : ahead_;
    return clock;
}

std::int64_t Engine::now() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (clock_ != Clock::Output)
        return clockFrame();
    // The first frame of a request is the one due when the server asks; the
    // clock runs on from there by the steady clock until the next request.
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - askedAt_);
    return askedFrame_ + std::int64_t(double(elapsed.count()) * rate_ / 1e9);
}

void Engine::portLost(const std::string &why) {
    {
        std::lock_guard<std::mutex> guard(lostMutex_);
        if (lostWhy_.empty())
            lostWhy_ = why;
    }
    if (broken_.exchange(true))
        return;
    notices_->post("The outside synthesiser could not be recorded to the end: " + why +
                   ". The recording until then is saved");
}

std::string Engine::lostWhy() {
    std::lock_guard<std::mutex> guard(lostMutex_);
    return lostWhy_;
}

void Engine::outputLost(const std::string &why) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (clock_ != Clock::Output || stopping_)
        return;
    notices_->post("The sound output (" + output_->describe() + ") was lost: " + why +
                   ". Nothing more was heard, but the recording went on without a gap");
    startSteadyClock();
}

bool Engine::ensureSynthesiser(std::string &error, int channels) {
    const SynthLayout layout{channels, settings_.stems, settings_.stems && settings_.dryStems};
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (synth_ && synth_->layout() == layout)
            return true;
        if (synth_) {
            std::unique_ptr<Synthesiser> fresh = synth_->renewed(error, layout);
            return fresh && useSynthesiser(std::move(fresh), error);
        }
    }
    std::string soundFont = findSoundFont(settings_.soundFont, settings_.devices);
    if (soundFont.empty()) {
        error = noSoundFontMessage(settings_.soundFont, settings_.devices);
        return false;
    }
    // Stacked under it, the SoundFonts [Synth] MoreSoundFonts names.
    std::vector<std::string> soundFonts{soundFont};
    for (const std::string &more : soundFontList(settings_.devices.synth.moreSoundFonts)) {
        if (!findSoundFont(more, settings_.devices).empty()) {
            soundFonts.push_back(more);
            continue;
        }
        error = noSoundFontMessage(more, settings_.devices);
        return false;
    }
    // Loading takes a while; the engine keeps running meanwhile.
    std::unique_ptr<Synthesiser> synth =
        Synthesiser::create(soundFonts, settings_.devices.synth, error, rate_, layout);
    if (!synth)
        return false;
    std::lock_guard<std::mutex> guard(mutex_);
    return synth_ || useSynthesiser(std::move(synth), error);
}

bool Engine::useSynthesiser(std::unique_ptr<Synthesiser> synth, std::string &error) {
    // The parts, on the channels it has.
    const ChannelParts &parts = settings_.parts;
    const int channels = synth->layout().channels;
    for (const ChannelParts::Program &held : parts.programs) {
        if (held.channel >= channels)
            continue;
        const int bank = held.bank >= 0 ? held.bank : held.channel % 16 == 9 ? 128 : 0;
        if (!synth->hasPreset(bank, held.program)) {
            error = "No SoundFont holds the preset " + std::to_string(held.program) + " of bank " +
                    std::to_string(bank) + " that channel " + channelName(held.channel) +
                    " is to play";
            return false;
        }
        synth->holdProgram(held.channel, held.program, held.bank);
    }
    auto listed = [](const std::vector<int> &list, int channel) {
        return std::find(list.begin(), list.end(), channel) != list.end();
    };
    for (int channel = 0; channel < channels; ++channel)
        synth->silence(channel, listed(parts.muted, channel) ||
                                    (!parts.solo.empty() && !listed(parts.solo, channel)));
    synth_ = std::move(synth);
    internal_ = std::make_unique<InternalMidi>(*synth_);
    synthFrom_ = INT64_MAX;
    stemChannels_ = settings_.stems ? synth_->stemCount() : 0;
    stemPeriod_.assign(std::size_t(stemChannels_) * kPeriodFrames * kChannels, 0.0f);
    return true;
}

bool Engine::renewSynthesiser(std::string &error) {
    if (!synth_)
        return true;
    std::unique_ptr<Synthesiser> fresh = synth_->renewed(error);
    return fresh && useSynthesiser(std::move(fresh), error);
}

std::string channelName(int channel) {
    // As musicians count them; with ports, the port's letter first.
    const std::string number = std::to_string(channel % 16 + 1);
    return channel < 16 ? number : std::string(1, char('A' + channel / 16)) + number;
}

void Engine::addSource(EngineSource *source) {
    sources_.push_back(source);
}
void Engine::removeSource(EngineSource *source) {
    sources_.erase(std::remove(sources_.begin(), sources_.end(), source), sources_.end());
}
void Engine::addSink(EngineSink *sink, std::int64_t from) {
    history_->replay(
        from, [sink](std::int64_t start, const float *frames) { sink->period(start, frames); });
    sinks_.push_back(sink);
}
void Engine::removeSink(EngineSink *sink) {
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

void Engine::run() {
    std::unique_lock<std::mutex> guard(mutex_);
    while (!stopping_) {
        // Render every whole period the clock has reached, so that a delay
        // never shortens the stream.
        const std::int64_t due = clockFrame();
        while (frame_ + kPeriodFrames <= due && !stopping_) {
            renderPeriod(buffer_.data());
            // Let the devices in between periods while catching up.
            guard.unlock();
            guard.lock();
        }
        // Sleep until the next batch of periods is due.
        wake_.wait_until(guard, steadyTimeOf(frame_ + kWakePeriods * kPeriodFrames),
                         [this] { return stopping_; });
    }
}

void Engine::refill(std::size_t asked) {
    // Ahead only while it fits easily in the cycle the output asks for:
    // a heavy song on a small cycle renders a period at a time.
    const auto cycle = std::chrono::nanoseconds(std::int64_t(asked) * 1000000000 / rate_);
    const int periods = periodCost_ * (kOutputFrames / kPeriodFrames) < cycle / 2
                            ? kOutputFrames / kPeriodFrames
                            : 1;
    const auto began = std::chrono::steady_clock::now();
    for (int p = 0; p < periods; ++p)
        renderPeriod(buffer_.data() + std::size_t(p) * kPeriodFrames * kChannels);
    periodCost_ = (std::chrono::steady_clock::now() - began) / periods;
    buffered_ = std::size_t(periods) * kPeriodFrames;
    delivered_ = 0;
}

bool Engine::idleAt(std::int64_t blockStart) const {
    return std::all_of(sources_.begin(), sources_.end(),
                       [blockStart](const EngineSource *s) { return s->idleAt(blockStart); });
}

void Engine::renderPeriod(float *out) {
    static_assert(kPeriodFrames % Synthesiser::kBlockFrames == 0 &&
                  kPeriodFrames <= Synthesiser::kMostFrames);
    constexpr int kBlock = Synthesiser::kBlockFrames;
    for (int offset = 0; offset < kPeriodFrames;) {
        const std::int64_t blockStart = frame_ + offset;
        MidiTarget *target = midiTarget();
        if (target) {
            for (EngineSource *source : sources_)
                source->beforeBlock(blockStart, *target);
        }
        // Each event lands at the start of its block; the blocks after it
        // that nothing comes before are rendered with it, in one go.
        const bool sounds = synth_ && blockStart >= synthFrom_;
        int frames = kBlock;
        while (offset + frames < kPeriodFrames && (blockStart + frames >= synthFrom_) == sounds &&
               (!target || idleAt(blockStart + frames)))
            frames += kBlock;
        float *block = out + std::size_t(offset) * kChannels;
        if (sounds) {
            float *stems =
                stemChannels_ > 0 ? stemPeriod_.data() + std::size_t(offset) * kChannels : nullptr;
            synth_->render(block, frames, stems, std::size_t(kPeriodFrames) * kChannels);
        } else {
            std::fill(block, block + std::size_t(frames) * kChannels, 0.0f);
            for (int c = 0; c < stemChannels_; ++c) {
                float *stem = stemPeriod_.data() +
                              (std::size_t(c) * kPeriodFrames + std::size_t(offset)) * kChannels;
                std::fill(stem, stem + std::size_t(frames) * kChannels, 0.0f);
            }
        }
        offset += frames;
    }
    // The loopback: the recorders hear the synthesiser itself, unless a
    // real input is what they record.
    if (!capturing_)
        toSinks(frame_, out);
    frame_ += kPeriodFrames;
    rendered_.store(frame_, std::memory_order_release);
}

void Engine::toSinks(std::int64_t start, const float *frames) {
    history_->keep(start, frames);
    for (EngineSink *sink : sinks_)
        sink->period(start, frames);
}

} // namespace audio
