// Calibration: an engine of its own on the configured synthesiser and input,
// a note every half second, and the onsets found in what the input heard.
#include "engine/Calibration.h"

#include "engine/Engine.h"
#include "engine/MidiTarget.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace audio {
namespace {

// Notes start on frames a whole number of these apart, so that every note
// meets the same place in a JACK cycle (periods of up to 4096 frames).
constexpr std::int64_t kAlignFrames = 4096;
constexpr std::int64_t kNoteFrames = 4410; // 0.1 s
constexpr std::uint8_t kDrumChannel = 9, kWoodBlock = 76;

// What the recorders would hear, kept whole.
class Tap : public EngineSink {
public:
    void period(std::int64_t start, const float *frames) override {
        if (first < 0)
            first = start;
        const auto at = std::size_t(start - first) * kChannels;
        if (samples.size() < at + kPeriodFrames * kChannels)
            samples.resize(at + kPeriodFrames * kChannels, 0.0f);
        std::copy(frames, frames + kPeriodFrames * kChannels, samples.begin() + std::ptrdiff_t(at));
    }
    std::int64_t first = -1;
    std::vector<float> samples;
};

// Plays the notes at their frames.
class Notes : public EngineSource {
public:
    void beforeBlock(std::int64_t blockStart, MidiTarget &target) override {
        const std::int64_t blockEnd = blockStart + 64;
        while (next < frames.size() * 2) {
            const std::int64_t frame = frames[next / 2] + (next % 2 ? kNoteFrames : 0);
            if (frame >= blockEnd)
                break;
            const std::uint8_t status = next % 2 ? 0x80 : 0x90;
            target.send(MidiEvent{0, std::uint8_t(status | kDrumChannel), kWoodBlock, 127, 0, 0},
                        std::max(frame, blockStart), nullptr);
            ++next;
        }
    }
    std::vector<std::int64_t> frames;
    std::size_t next = 0;
};

// Waits until the tap has `frames` frames, or ten seconds have passed.
bool waitForTap(Engine &engine, const Tap &tap, std::int64_t frames) {
    for (int waited = 0; waited < 200; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> guard(engine.lock());
        if (tap.first >= 0 && std::int64_t(tap.samples.size() / kChannels) >= frames)
            return true;
    }
    return false;
}

} // namespace

long long onsetFrame(const std::vector<float> &samples, long long first, long long from,
                     long long to) {
    auto level = [&](long long frame) {
        const auto i = std::size_t(frame - first) * kChannels;
        return std::max(std::fabs(samples[i]), std::fabs(samples[i + 1]));
    };
    const long long frames = (long long)samples.size() / kChannels;
    float quiet = 0;
    for (long long f = std::max(first, from - 8820); f < from && f - first < frames; ++f)
        quiet = std::max(quiet, level(f));
    const float threshold = std::max(0.005f, 8 * quiet);
    for (long long f = std::max(first, from); f < to && f - first < frames; ++f)
        if (level(f) > threshold)
            return f;
    return -1;
}

Calibration calibrate(const DevicesConfig &chosen) {
    Calibration result;
    EngineSettings settings;
    settings.devices = chosen;
    settings.devices.offset = 0; // measured afresh
    std::string error;
    std::unique_ptr<Engine> engine = Engine::tryOutput(settings, error);
    if (!engine->sequencerError().empty() || !engine->inputError().empty()) {
        result.message =
            !engine->sequencerError().empty() ? engine->sequencerError() : engine->inputError();
        return result;
    }
    if (!engine->capturing()) {
        result.message = "There is no input to calibrate: [WaveIn] Input is loopback, which "
                         "needs none";
        return result;
    }
    if (!engine->outsideSynthesiser() && !engine->ensureSynthesiser(error)) {
        result.message = error;
        return result;
    }
    Tap tap;
    Notes notes;
    {
        std::lock_guard<std::mutex> guard(engine->lock());
        engine->addSink(&tap);
    }
    // A second of what the input hears first: a server settles on a new
    // stream's latency in that time, and a synthesiser whose output was
    // just rearranged plays again.
    if (!waitForTap(*engine, tap, kSampleRate)) {
        std::lock_guard<std::mutex> guard(engine->lock());
        engine->removeSink(&tap);
        result.message = "The input delivers nothing: is its server running?";
        return result;
    }
    {
        std::lock_guard<std::mutex> guard(engine->lock());
        // Half a second in hand, then a note every half second.
        const std::int64_t start =
            (engine->nextPeriodFrame() + kSampleRate / 2 + kAlignFrames - 1) / kAlignFrames *
            kAlignFrames;
        const std::int64_t step =
            (kSampleRate / 2 + kAlignFrames - 1) / kAlignFrames * kAlignFrames;
        for (int i = 0; i < kCalibrationNotes; ++i)
            notes.frames.push_back(start + i * step);
        engine->addSource(&notes);
        if (MidiTarget *target = engine->midiTarget(); target && target->synthesiser())
            engine->startSynthesiser(start - kAlignFrames);
    }
    // Until the last note has had a second to come back.
    std::int64_t first = 0;
    {
        std::lock_guard<std::mutex> guard(engine->lock());
        first = tap.first;
    }
    waitForTap(*engine, tap, notes.frames.back() + kSampleRate - first);
    {
        std::lock_guard<std::mutex> guard(engine->lock());
        engine->removeSource(&notes);
        engine->removeSink(&tap);
    }
    engine.reset();
    for (std::size_t i = 0; i < notes.frames.size(); ++i) {
        const std::int64_t at = notes.frames[i];
        // A note may come back up to a cycle early (a synthesiser that plays
        // events at its cycle's start) or up to a third of a second late.
        const long long heard =
            tap.first < 0 ? -1 : onsetFrame(tap.samples, tap.first, at - 4096, at + 14700);
        if (heard < 0) {
            result.message = "Note " + std::to_string(i + 1) +
                             " was not heard in the input: is the synthesiser's output connected "
                             "to it, and is it playing?";
            return result;
        }
        result.measured.push_back(long(heard - at));
    }
    std::vector<long> sorted = result.measured;
    std::sort(sorted.begin(), sorted.end());
    result.offset = sorted[sorted.size() / 2];
    result.spreadMs = double(sorted.back() - sorted.front()) * 1000 / kSampleRate;
    char text[160];
    if (result.spreadMs > kCalibrationSpreadMs) {
        std::snprintf(text, sizeof text,
                      "The notes came back %.1f ms apart, more than %.0f ms: the path is not "
                      "steady enough to calibrate",
                      result.spreadMs, kCalibrationSpreadMs);
        result.message = text;
        return result;
    }
    std::snprintf(text, sizeof text, "Offset %ld frames (%.1f ms), spread %.1f ms", result.offset,
                  double(result.offset) * 1000 / kSampleRate, result.spreadMs);
    result.message = text;
    result.stored = true;
    return result;
}

} // namespace audio
