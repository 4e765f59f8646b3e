// Levels read back from a saved file, so that what is reported is what the
// file holds, and the gain that brings it to a loudness.
#include "engine/Levels.h"

#include <ebur128.h>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace audio {
namespace {

double decibels(double amplitude) {
    return amplitude > 0 ? 20.0 * std::log10(amplitude) : -1e9;
}

struct Closer {
    void operator()(SNDFILE *file) const { sf_close(file); }
};

} // namespace

namespace {

constexpr sf_count_t kFrames = 8192;
// Frames fed around a loud sample each side (the interpolator's filter
// spans 13), and the silence after a stretch that lets it settle.
constexpr std::int64_t kContext = 32;

} // namespace

// The true peak is found by libebur128's 4-times oversampling interpolator
// run only where it can matter. Its 49-tap windowed sinc weighs the dozen
// samples around a point with coefficients that sum in magnitude to under
// 1.9 a phase, so between samples that all stay under half the sample peak
// it cannot reach that peak: only the stretches with a louder sample are
// fed, with their surroundings, and silence between them. The peak so far
// is never above the whole file's, so gating by it feeds every stretch that
// gating by the whole file's would. Most of a song is quieter than that,
// and a whole pass of the interpolator would cost a third of the
// synthesiser's time.
struct LevelMeter::Meters {
    ebur128_state *loudness = nullptr;
    ebur128_state *truePeak = nullptr;
    ~Meters() {
        if (loudness)
            ebur128_destroy(&loudness);
        if (truePeak)
            ebur128_destroy(&truePeak);
    }
};

LevelMeter::LevelMeter(int channels, int rate, double fullScale)
    : channels_(std::size_t(channels)), fullScale_(fullScale),
      settle_(std::size_t(2 * kContext) * std::size_t(channels), 0.0f) {
    auto meters = std::make_unique<Meters>();
    meters->loudness =
        ebur128_init(unsigned(channels), static_cast<unsigned long>(rate), EBUR128_MODE_I);
    meters->truePeak =
        ebur128_init(unsigned(channels), static_cast<unsigned long>(rate), EBUR128_MODE_TRUE_PEAK);
    if (meters->loudness && meters->truePeak)
        meters_ = std::move(meters);
}

LevelMeter::~LevelMeter() = default;

void LevelMeter::feedTruePeak(const float *frames, std::size_t count) {
    if (count > 0)
        ebur128_add_frames_float(meters_->truePeak, frames, count);
}

void LevelMeter::add(const float *frames, std::size_t count) {
    if (!ok() || count == 0)
        return;
    ebur128_add_frames_float(meters_->loudness, frames, count);
    const float top = float(fullScale_ - 1e-7);
    const std::int64_t blockStart = at_;
    std::int64_t runStart = 0; // of this block, while feeding
    for (std::size_t f = 0; f < count; ++f) {
        const float *frame = frames + f * channels_;
        float loudest = 0;
        for (std::size_t c = 0; c < channels_; ++c) {
            const float v = std::fabs(frame[c]);
            clipped_ += v >= top;
            loudest = std::max(loudest, v);
        }
        peak_ = std::max(peak_, loudest);
        const std::int64_t here = blockStart + std::int64_t(f);
        if (loudest >= peak_ / 2 && loudest > 0) {
            lastLoud_ = here;
            if (!feeding_) {
                // A loud stretch begins: its surroundings first, never a
                // frame twice.
                const std::int64_t from = std::max(fedTo_, here - kContext);
                if (from < blockStart) {
                    const std::int64_t kept = std::int64_t(history_.size() / channels_);
                    const std::int64_t skip = std::max<std::int64_t>(from - historyStart_, 0);
                    feedTruePeak(&history_[std::size_t(skip) * channels_],
                                 std::size_t(kept - skip));
                    runStart = 0;
                } else {
                    runStart = from - blockStart;
                }
                feeding_ = true;
            }
        } else if (feeding_ && here - lastLoud_ > kContext) {
            feedTruePeak(frames + std::size_t(runStart) * channels_,
                         std::size_t(std::int64_t(f) - runStart));
            feedTruePeak(settle_.data(), std::size_t(2 * kContext));
            feeding_ = false;
            fedTo_ = here;
        }
    }
    if (feeding_) {
        feedTruePeak(frames + std::size_t(runStart) * channels_,
                     std::size_t(std::int64_t(count) - runStart));
        fedTo_ = blockStart + std::int64_t(count);
    }
    // The last frames stay at hand, across blocks shorter than them too, for
    // a stretch that begins in a later block: what is measured does not
    // depend on how the samples come in blocks.
    const std::size_t keep = std::min<std::size_t>(count, std::size_t(kContext));
    history_.insert(history_.end(), frames + (count - keep) * channels_,
                    frames + count * channels_);
    const std::size_t most = std::size_t(kContext) * channels_;
    if (history_.size() > most)
        history_.erase(history_.begin(), history_.end() - std::ptrdiff_t(most));
    at_ = blockStart + std::int64_t(count);
    historyStart_ = at_ - std::int64_t(history_.size() / channels_);
}

Levels LevelMeter::levels() const {
    Levels levels;
    if (!ok())
        return levels;
    const double peak = peak_;
    double loudness = 0;
    double truePeak = peak;
    for (unsigned c = 0; c < unsigned(channels_); ++c) {
        double t = 0;
        if (ebur128_true_peak(meters_->truePeak, c, &t) == EBUR128_SUCCESS)
            truePeak = std::max(truePeak, t);
    }
    levels.peakDb = decibels(peak);
    levels.truePeakDb = decibels(truePeak);
    levels.loudness = ebur128_loudness_global(meters_->loudness, &loudness) == EBUR128_SUCCESS &&
                              std::isfinite(loudness)
                          ? loudness
                          : -1e9;
    levels.clipped = clipped_;
    return levels;
}

double fullScaleOf(int subformat) {
    // The largest value of the depth (float, and what a lossy codec decodes to: 1).
    switch (subformat) {
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_S8:
        return 127.0 / 128;
    case SF_FORMAT_PCM_16:
        return 32767.0 / 32768;
    case SF_FORMAT_PCM_24:
        return 8388607.0 / 8388608;
    default:
        return 1.0;
    }
}

double fullScaleOf(const WaveFormat &format) {
    if (format.floating)
        return 1.0;
    switch (format.bitsPerSample) {
    case 8:
        return 127.0 / 128;
    case 16:
        return 32767.0 / 32768;
    case 24:
        return 8388607.0 / 8388608;
    default:
        return 1.0;
    }
}

bool measureLevels(const std::string &path, Levels &levels, std::string &error) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, Closer> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        error = std::string("its levels cannot be read: ") + sf_strerror(nullptr);
        return false;
    }
    LevelMeter meter(info.channels, info.samplerate, fullScaleOf(info.format & SF_FORMAT_SUBMASK));
    if (!meter.ok()) {
        error = "its levels cannot be measured";
        return false;
    }
    std::vector<float> block(std::size_t(kFrames * info.channels));
    for (sf_count_t got; (got = sf_readf_float(file.get(), block.data(), kFrames)) > 0;)
        meter.add(block.data(), std::size_t(got));
    levels = meter.levels();
    return true;
}

double normalizingGain(const Levels &levels, double target, double ceiling) {
    if (levels.silent())
        return 0;
    return std::min(target - levels.loudness, ceiling - levels.truePeakDb);
}

} // namespace audio
