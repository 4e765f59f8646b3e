// Levels read back from a saved file, so that what is reported is what the
// file holds, and the gain that brings it to a loudness.
#include "render/Levels.h"

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

namespace render {
namespace {

double decibels(double amplitude) {
    return amplitude > 0 ? 20.0 * std::log10(amplitude) : -1e9;
}

struct Closer {
    void operator()(SNDFILE *file) const { sf_close(file); }
    void operator()(ebur128_state *state) const { ebur128_destroy(&state); }
};

} // namespace

namespace {

constexpr sf_count_t kFrames = 8192;

// The true peak, found by libebur128's 4-times oversampling interpolator
// run only where it can matter. Its 49-tap windowed sinc weighs the dozen
// samples around a point with coefficients that sum in magnitude to under
// 1.9 a phase, so between samples that all stay under half the sample peak
// it cannot reach that peak: only the stretches with a louder sample are
// fed, with 32 frames of their surroundings each side (the filter spans 13)
// and silence between them to let it settle. Most of a song is quieter than
// that, and a whole pass of the interpolator would cost a third of the
// synthesiser's time.
double truePeakOf(SNDFILE *file, const SF_INFO &info, double samplePeak) {
    if (samplePeak <= 0)
        return 0;
    std::unique_ptr<ebur128_state, Closer> meter(
        ebur128_init(unsigned(info.channels), static_cast<unsigned long>(info.samplerate),
                     EBUR128_MODE_TRUE_PEAK));
    if (!meter || sf_seek(file, 0, SEEK_SET) != 0)
        return samplePeak;
    const std::size_t channels = std::size_t(info.channels);
    constexpr std::int64_t kContext = 32;
    const float hot = float(samplePeak / 2);
    // The frames of the block before, and of this one, by their place in the file.
    std::vector<float> previous(std::size_t(kFrames) * channels), block(previous.size());
    std::int64_t previousStart = 0, previousFrames = 0, blockStart = 0;
    std::int64_t fedTo = 0;            // every frame before this was fed or skipped
    std::int64_t lastLoud = INT64_MIN; // the last loud frame
    bool feeding = false;
    const std::vector<float> settle(std::size_t(2 * kContext) * channels, 0.0f);
    auto feed = [&](const float *frames, std::int64_t count) {
        if (count > 0)
            ebur128_add_frames_float(meter.get(), frames, std::size_t(count));
    };
    for (;;) {
        const sf_count_t got = sf_readf_float(file, block.data(), kFrames);
        if (got <= 0)
            break;
        std::int64_t runStart = 0; // of this block, while feeding
        for (std::int64_t f = 0; f < got; ++f) {
            const float *frame = &block[std::size_t(f) * channels];
            bool loud = false;
            for (std::size_t c = 0; c < channels; ++c)
                loud = loud || std::fabs(frame[c]) >= hot;
            const std::int64_t at = blockStart + f;
            if (loud) {
                lastLoud = at;
                if (!feeding) {
                    // A loud stretch begins: its surroundings first, never
                    // a frame twice.
                    const std::int64_t from = std::max(fedTo, at - kContext);
                    if (from < blockStart) {
                        const std::int64_t skip = from - previousStart;
                        feed(&previous[std::size_t(skip) * channels], previousFrames - skip);
                        runStart = 0;
                    } else {
                        runStart = from - blockStart;
                    }
                    feeding = true;
                }
            } else if (feeding && at - lastLoud > kContext) {
                feed(&block[std::size_t(runStart) * channels], f - runStart);
                feed(settle.data(), 2 * kContext);
                feeding = false;
                fedTo = at;
            }
        }
        if (feeding) {
            feed(&block[std::size_t(runStart) * channels], got - runStart);
            fedTo = blockStart + got;
        }
        std::swap(previous, block);
        previousStart = blockStart;
        previousFrames = got;
        blockStart += got;
    }
    double truePeak = samplePeak;
    for (unsigned c = 0; c < unsigned(info.channels); ++c) {
        double t = 0;
        if (ebur128_true_peak(meter.get(), c, &t) == EBUR128_SUCCESS)
            truePeak = std::max(truePeak, t);
    }
    return truePeak;
}

} // namespace

bool measureLevels(const std::string &path, Levels &levels, std::string &error) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, Closer> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        error = std::string("its levels cannot be read: ") + sf_strerror(nullptr);
        return false;
    }
    std::unique_ptr<ebur128_state, Closer> meter(
        ebur128_init(unsigned(info.channels), static_cast<unsigned long>(info.samplerate),
                     EBUR128_MODE_I | EBUR128_MODE_SAMPLE_PEAK));
    if (!meter) {
        error = "its levels cannot be measured";
        return false;
    }
    // Full scale as the file stores it: the largest value of its depth
    // (float and what a lossy codec decodes to: 1).
    const int sub = info.format & SF_FORMAT_SUBMASK;
    const double top = sub == SF_FORMAT_PCM_U8 || sub == SF_FORMAT_PCM_S8 ? 127.0 / 128
                       : sub == SF_FORMAT_PCM_16                          ? 32767.0 / 32768
                       : sub == SF_FORMAT_PCM_24                          ? 8388607.0 / 8388608
                                                                          : 1.0;
    std::vector<float> block(std::size_t(kFrames * info.channels));
    levels.clipped = 0;
    for (;;) {
        const sf_count_t got = sf_readf_float(file.get(), block.data(), kFrames);
        if (got <= 0)
            break;
        for (sf_count_t i = 0; i < got * info.channels; ++i)
            if (std::fabs(block[std::size_t(i)]) >= top - 1e-7)
                ++levels.clipped;
        ebur128_add_frames_float(meter.get(), block.data(), std::size_t(got));
    }
    double peak = 0, loudness = 0;
    for (unsigned c = 0; c < unsigned(info.channels); ++c) {
        double p = 0;
        ebur128_sample_peak(meter.get(), c, &p);
        peak = std::max(peak, p);
    }
    levels.peakDb = decibels(peak);
    levels.truePeakDb = decibels(truePeakOf(file.get(), info, peak));
    levels.loudness = ebur128_loudness_global(meter.get(), &loudness) == EBUR128_SUCCESS &&
                              std::isfinite(loudness)
                          ? loudness
                          : -1e9;
    return true;
}

double normalizingGain(const Levels &levels, double target, double ceiling) {
    if (levels.silent())
        return 0;
    return std::min(target - levels.loudness, ceiling - levels.truePeakDb);
}

} // namespace render
