// Levels read back from the saved file, so that what is reported is what
// the file holds; the gain applied to the samples as stored.
#include "render/Levels.h"

#include "platform/FileWrite.h"
#include "platform/audio/WaveFile.h"

#include <ebur128.h>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
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

bool measureLevels(const std::string &path, Levels &levels, std::string &error) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, Closer> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        error = std::string("its levels cannot be read: ") + sf_strerror(nullptr);
        return false;
    }
    std::unique_ptr<ebur128_state, Closer> meter(
        ebur128_init(unsigned(info.channels), static_cast<unsigned long>(info.samplerate),
                     EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_SAMPLE_PEAK));
    if (!meter) {
        error = "its levels cannot be measured";
        return false;
    }
    // Full scale as the file stores it: the largest value of its depth.
    const int sub = info.format & SF_FORMAT_SUBMASK;
    const double top =
        sub == SF_FORMAT_PCM_U8 || sub == SF_FORMAT_PCM_S8 ? 127.0 / 128 : 32767.0 / 32768;
    constexpr sf_count_t kFrames = 8192;
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
    double peak = 0, truePeak = 0, loudness = 0;
    for (unsigned c = 0; c < unsigned(info.channels); ++c) {
        double p = 0, t = 0;
        ebur128_sample_peak(meter.get(), c, &p);
        ebur128_true_peak(meter.get(), c, &t);
        peak = std::max(peak, p);
        truePeak = std::max(truePeak, t);
    }
    levels.peakDb = decibels(peak);
    levels.truePeakDb = decibels(truePeak);
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

bool applyGain(const std::string &path, double gainDb, std::string &error) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, Closer> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        error = std::string("it cannot be read again: ") + sf_strerror(nullptr);
        return false;
    }
    const int sub = info.format & SF_FORMAT_SUBMASK;
    const bool eight = sub == SF_FORMAT_PCM_U8;
    const audio::WaveFormat format{info.samplerate, info.channels, eight ? 8 : 16};
    std::FILE *data = platform::scratchFile();
    if (!data) {
        error = std::string("no room for its samples: ") + std::strerror(errno);
        return false;
    }
    const double scale = std::pow(10.0, gainDb / 20.0);
    const double steps = eight ? 128.0 : 32768.0;
    std::uint32_t dither = 0x4E4F524D;
    auto noise = [&dither] { // uniform in [-0.5, 0.5)
        dither = dither * 1664525u + 1013904223u;
        return double(dither >> 8) / double(1u << 24) - 0.5;
    };
    constexpr sf_count_t kFrames = 8192;
    std::vector<double> block(std::size_t(kFrames * info.channels));
    std::vector<std::uint8_t> out;
    std::uint64_t bytes = 0;
    bool ok = true;
    for (;;) {
        const sf_count_t got = sf_readf_double(file.get(), block.data(), kFrames);
        if (got <= 0)
            break;
        out.clear();
        for (sf_count_t i = 0; i < got * info.channels; ++i) {
            // Triangular dither of one step, then rounding within the depth.
            const double v = std::clamp(
                std::floor(block[std::size_t(i)] * scale * steps + noise() + noise() + 0.5), -steps,
                steps - 1);
            if (eight) {
                out.push_back(std::uint8_t(int(v) + 128));
            } else {
                const auto s = std::uint16_t(std::int16_t(v));
                out.push_back(std::uint8_t(s));
                out.push_back(std::uint8_t(s >> 8));
            }
        }
        if (std::fwrite(out.data(), 1, out.size(), data) != out.size()) {
            error = std::string("its samples could not be spooled: ") + std::strerror(errno);
            ok = false;
            break;
        }
        bytes += out.size();
    }
    file.reset();
    ok = ok && std::fflush(data) == 0 && audio::writeWaveFile(path, format, data, bytes, error);
    std::fclose(data);
    return ok;
}

} // namespace render
