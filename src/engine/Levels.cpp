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
#include <numbers>
#include <vector>

namespace audio {
double decibels(double amplitude) {
    return amplitude > 0 ? 20.0 * std::log10(amplitude) : -1e9;
}

namespace {

struct Closer {
    void operator()(SNDFILE *file) const { sf_close(file); }
};

} // namespace

namespace {

constexpr sf_count_t kFrames = 8192;

} // namespace

// The true peak: the signal oversampled 4 times (2 times from 96 kHz, not
// at all from 192 kHz) by a polyphase 49-tap Hann-windowed sinc, each
// output kept as a float, its largest magnitude found. These are the filter,
// the arithmetic and the figure of libebur128's true-peak mode, which would
// also run a second loudness filter over every sample.
//
// An output depends on the last `delay` input samples only, through a
// phase's coefficients whose magnitudes sum to `bound_` at most (1.86 at
// 4 times): a block whose samples, and the samples before it, stay below
// the peak so far divided by that cannot raise it, and is passed over. The
// samples before the block are always at hand, so the figure is the whole
// pass's whatever is passed over.
class LevelMeter::TruePeak {
    static constexpr double kPi = std::numbers::pi;

public:
    TruePeak(std::size_t channels, int rate)
        : channels_(channels), factor_(rate < 96000    ? 4
                                       : rate < 192000 ? 2
                                                       : 0) {
        if (factor_ == 0)
            return;
        constexpr int kTaps = 49;
        delay_ = std::size_t((kTaps + factor_ - 1) / factor_);
        phases_.resize(std::size_t(factor_));
        for (int j = 0; j < kTaps; ++j) {
            const double m = j - (kTaps - 1) / 2.0;
            double c = std::fabs(m) > 1e-6 ? std::sin(m * kPi / factor_) / (m * kPi / factor_) : 1;
            c *= 0.5 * (1 - std::cos(2 * kPi * j / (kTaps - 1)));
            if (std::fabs(c) > 1e-6)
                phases_[std::size_t(j % factor_)].push_back(Tap{std::size_t(j / factor_), c});
        }
        for (const std::vector<Tap> &phase : phases_) {
            double sum = 0;
            for (const Tap &tap : phase)
                sum += std::fabs(tap.coeff);
            bound_ = std::max(bound_, sum);
        }
        // Rounding each output to a float may lift it by a part in 2^24.
        bound_ *= 1 + 1e-6;
        buffer_.assign((delay_ - 1) * channels_, 0.0f);
        planar_.resize(delay_ + kBlock);
    }

    void add(const float *frames, std::size_t count) {
        if (factor_ == 0)
            return;
        for (std::size_t done = 0; done < count;) {
            const std::size_t n = std::min(kBlock, count - done);
            addBlock(frames + done * channels_, n);
            done += n;
        }
    }

    double peak() const { return peak_; }

private:
    static constexpr std::size_t kBlock = 256;
    struct Tap {
        std::size_t index; // samples back from the current one
        double coeff;
    };

    // `buffer_` holds the delay - 1 frames before the block, then the block.
    // Each channel is filtered on its own, a phase's taps added in their
    // order into every output of the block at once.
    void addBlock(const float *frames, std::size_t count) {
        const std::size_t before = (delay_ - 1) * channels_;
        buffer_.resize(before);
        buffer_.insert(buffer_.end(), frames, frames + count * channels_);
        float loudest = 0;
        for (const float v : buffer_)
            loudest = std::max(loudest, std::fabs(v));
        if (loudest * bound_ > peak_) {
            const std::size_t length = delay_ - 1 + count;
            for (std::size_t c = 0; c < channels_; ++c) {
                for (std::size_t f = 0; f < length; ++f)
                    planar_[f] = buffer_[f * channels_ + c];
                const float *now = planar_.data() + delay_ - 1;
                for (const std::vector<Tap> &phase : phases_) {
                    std::fill(sums_.begin(), sums_.begin() + std::ptrdiff_t(count), 0.0);
                    double *__restrict sums = sums_.data();
                    for (const Tap &tap : phase) {
                        const float *__restrict from = now - tap.index;
                        const double coeff = tap.coeff;
                        for (std::size_t f = 0; f < count; ++f)
                            sums[f] += double(from[f]) * coeff;
                    }
                    float most = 0;
                    for (std::size_t f = 0; f < count; ++f)
                        most = std::max(most, std::fabs(float(sums_[f])));
                    peak_ = std::max(peak_, double(most));
                }
            }
        }
        buffer_.erase(buffer_.begin(), buffer_.end() - std::ptrdiff_t(before));
    }

    std::size_t channels_;
    int factor_;
    std::size_t delay_ = 1;
    std::vector<std::vector<Tap>> phases_;
    double bound_ = 0;
    std::vector<float> buffer_;
    std::vector<float> planar_;                              // one channel of it
    std::vector<double> sums_ = std::vector<double>(kBlock); // one phase's outputs
    double peak_ = 0;
};

struct LevelMeter::Meters {
    ebur128_state *loudness = nullptr;
    ~Meters() {
        if (loudness)
            ebur128_destroy(&loudness);
    }
};

LevelMeter::LevelMeter(int channels, int rate, double fullScale)
    : channels_(std::size_t(channels)), fullScale_(fullScale) {
    auto meters = std::make_unique<Meters>();
    meters->loudness =
        ebur128_init(unsigned(channels), static_cast<unsigned long>(rate), EBUR128_MODE_I);
    if (meters->loudness && channels > 0) {
        meters_ = std::move(meters);
        truePeak_ = std::make_unique<TruePeak>(channels_, rate);
    }
}

LevelMeter::~LevelMeter() = default;

void LevelMeter::add(const float *frames, std::size_t count) {
    if (!ok() || count == 0)
        return;
    ebur128_add_frames_float(meters_->loudness, frames, count);
    const float top = float(fullScale_ - 1e-7);
    for (std::size_t i = 0; i < count * channels_; ++i) {
        const float v = std::fabs(frames[i]);
        clipped_ += v >= top;
        peak_ = std::max(peak_, v);
    }
    truePeak_->add(frames, count);
}

Levels LevelMeter::levels() const {
    Levels levels;
    if (!ok())
        return levels;
    const double peak = peak_;
    double loudness = 0;
    const double truePeak = std::max(peak, truePeak_->peak());
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
