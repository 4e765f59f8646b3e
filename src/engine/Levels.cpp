// Levels read back from a saved file, so that what is reported is what the
// file holds, and the gain that brings it to a loudness.
#include "engine/Levels.h"

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

// Eight lanes in two registers, so that it runs several samples at a time,
// folded into one in registers too: the true peak asks this of a few dozen
// samples at a time, where folding through memory would cost the most.
float loudest(const float *samples, std::size_t count, float most) {
    typedef float Lanes __attribute__((vector_size(16)));
    typedef std::int32_t Bits __attribute__((vector_size(16)));
    const auto magnitude = [](Lanes x) { return Lanes(Bits(x) & 0x7fffffff); };
    // A sample that is no number is passed over, as std::max() does.
    const auto larger = [](Lanes a, Lanes b) { return a < b ? b : a; };
    Lanes low = {}, high = {};
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        Lanes x, y;
        std::memcpy(&x, samples + i, sizeof x);
        std::memcpy(&y, samples + i + 4, sizeof y);
        low = larger(low, magnitude(x));
        high = larger(high, magnitude(y));
    }
    for (; i < count; ++i)
        most = std::max(most, std::fabs(samples[i]));
    low = larger(low, high);
    low = larger(low, __builtin_shuffle(low, Bits{2, 3, 0, 1}));
    low = larger(low, __builtin_shuffle(low, Bits{1, 0, 3, 2}));
    return std::max(most, low[0]);
}

namespace {

struct Closer {
    void operator()(SNDFILE *file) const { sf_close(file); }
};

} // namespace

namespace {

constexpr sf_count_t kFrames = 8192;

// How many of `count` samples reach `top` in magnitude.
std::size_t reaching(const float *samples, std::size_t count, float top) {
    std::size_t reached = 0;
    for (std::size_t i = 0; i < count; ++i)
        reached += std::fabs(samples[i]) >= top;
    return reached;
}

} // namespace

// The overview's measures as the recording goes by: the loudest sample of
// each stretch of `unit` frames and the loudness of each 100 ms step. When
// either list is full, each two neighbours become one, and each holds twice
// as long a stretch: memory stays the same for any length.
class LevelMeter::Trace {
public:
    explicit Trace(std::size_t channels) : channels_(channels) {}

    /// The samples' peaks, stretch by stretch; returns the largest of these samples.
    float add(const float *frames, std::size_t count) {
        float most = 0;
        while (count > 0) {
            const std::size_t n = std::min(count, unit_ - done_);
            const float m = loudest(frames, n * channels_);
            peak_ = std::max(peak_, m);
            most = std::max(most, m);
            frames += n * channels_;
            count -= n;
            done_ += n;
            frames_ += n;
            if (done_ == unit_) {
                peaks_.push_back(peak_);
                peak_ = 0;
                done_ = 0;
                if (peaks_.size() == kKept)
                    unit_ *= 2, halve(peaks_, [](float a, float b) { return std::max(a, b); });
            }
        }
        return most;
    }

    /// A step's mean weighted energy a frame.
    void step(double energy) {
        sum_ += energy;
        if (++summed_ < stepsEach_)
            return;
        energies_.push_back(sum_ / double(summed_));
        sum_ = 0;
        summed_ = 0;
        if (energies_.size() == kKept)
            stepsEach_ *= 2, halve(energies_, [](double a, double b) { return (a + b) / 2; });
    }

    /// `last` is the energy of the step under way (a frame), or negative.
    Overview overview(std::size_t stepFrames, double last) const {
        std::vector<float> peaks = peaks_;
        if (done_ > 0)
            peaks.push_back(peak_);
        std::vector<double> energies = energies_;
        if (summed_ > 0 || last >= 0)
            energies.push_back((sum_ + std::max(last, 0.0)) / double(summed_ + (last >= 0)));
        Overview overview;
        const std::size_t columns = std::min<std::size_t>(Overview::kColumns, frames_);
        const std::size_t span = stepFrames * stepsEach_; // an energy's frames
        for (std::size_t c = 0; c < columns; ++c) {
            // The column's frames, [from, to); each list's entries that hold any of them.
            const std::size_t from = c * frames_ / columns, to = (c + 1) * frames_ / columns;
            float peak = 0;
            for (std::size_t i = from / unit_; i <= (to - 1) / unit_ && i < peaks.size(); ++i)
                peak = std::max(peak, peaks[i]);
            double energy = 0;
            std::size_t n = 0;
            for (std::size_t i = from / span; i <= (to - 1) / span && i < energies.size(); ++i)
                energy += energies[i], ++n;
            overview.peaks.push_back(std::int16_t(std::lround(std::min(peak, 1.0f) * 1000)));
            const double lufs =
                n > 0 && energy > 0 ? 10 * std::log10(energy / double(n)) - 0.691 : -1e9;
            overview.loudness.push_back(lufs >= -70 ? std::int16_t(std::lround(std::min(lufs, 1e3)))
                                                    : Overview::kQuiet);
        }
        return overview;
    }

private:
    static constexpr std::size_t kKept = 4096;

    template <class T, class Merge> static void halve(std::vector<T> &list, Merge merge) {
        for (std::size_t i = 0; i < list.size() / 2; ++i)
            list[i] = merge(list[2 * i], list[2 * i + 1]);
        list.resize(list.size() / 2);
    }

    std::size_t channels_;
    std::size_t frames_ = 0;
    std::size_t unit_ = 256; // frames a peak holds
    std::size_t done_ = 0;   // frames of the peak under way
    float peak_ = 0;
    std::vector<float> peaks_;
    std::size_t stepsEach_ = 1; // steps an energy holds
    std::size_t summed_ = 0;    // steps of the energy under way
    double sum_ = 0;
    std::vector<double> energies_;
};

// The true peak: the signal oversampled 4 times (2 times from 96 kHz, not
// at all from 192 kHz) by libebur128's polyphase 49-tap Hann-windowed sinc,
// each output kept as a float, its largest magnitude found: libebur128's
// arithmetic and figure, to the bit, so that a gain to a loudness that the
// true peak limits is the same.
//
// An output depends on the last `delay` input samples only, through a
// phase's coefficients whose magnitudes sum to `bound_` at most (1.86 at
// 4 times): a stretch of outputs whose samples, and the samples before
// them, stay below the peak so far divided by that cannot raise it, and is
// passed over. A stretch that could is first filtered in float, the
// cheaper way; only where that comes within its rounding of the peak is it
// filtered as libebur128 does. Each output is summed alone, in the same
// order, so the figure is the whole pass's whatever is passed over.
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
        // The phase on the samples is the samples themselves (one tap of
        // 1): the sample peak holds its outputs, and the peak so far
        // starts from it.
        std::erase_if(phases_, [](const std::vector<Tap> &phase) {
            return phase.size() == 1 && phase[0].coeff == 1.0;
        });
        for (const std::vector<Tap> &phase : phases_) {
            double sum = 0;
            for (const Tap &tap : phase)
                sum += std::fabs(tap.coeff);
            bound_ = std::max(bound_, sum);
            roughPhases_.emplace_back();
            for (const Tap &tap : phase)
                roughPhases_.back().push_back(RoughTap{tap.index, float(tap.coeff)});
        }
        // Rounding each output to a float may lift it by a part in 2^24.
        bound_ *= 1 + 1e-6;
        history_.assign(channels_, std::vector<float>(delay_ - 1 + kBlock, 0.0f));
    }

    /// `loudest`: the largest magnitude among the frames.
    void add(const float *frames, std::size_t count, float loudest) {
        if (factor_ == 0)
            return;
        peak_ = std::max(peak_, double(loudest));
        // Frames that, with the history before them, stay below the peak
        // so far over the bound cannot raise it: only their last samples
        // are kept, for the frames after them.
        const float history = count >= delay_ ? loudest : std::max(loudest, historyLoudest_);
        const bool quiet = std::max(loudest, historyLoudest_) * bound_ <= peak_;
        historyLoudest_ = history;
        if (quiet) {
            keep(frames, count);
            return;
        }
        for (std::size_t done = 0; done < count;) {
            const std::size_t n = std::min(kBlock, count - done);
            addBlock(frames + done * channels_, n);
            done += n;
        }
    }

    double peak() const { return peak_; }

private:
    static constexpr std::size_t kBlock = 256;
    static constexpr std::size_t kStretch = 32;
    struct Tap {
        std::size_t index; // samples back from the current one
        double coeff;
    };
    struct RoughTap {
        std::size_t index;
        float coeff;
    };
    // How far a float filter's output may stray from the exact one, as a
    // part of the stretch's loudest sample times `bound_`: a float's
    // rounding (a part in 2^24) for each of the 13 taps, the coefficient's
    // and the sum's, with room to spare.
    static constexpr double kRoughness = 1e-5;

    // The last delay - 1 samples of each channel into its history.
    void keep(const float *frames, std::size_t count) {
        const std::size_t before = delay_ - 1, taken = std::min(count, before);
        const float *from = frames + (count - taken) * channels_;
        for (std::size_t c = 0; c < channels_; ++c) {
            float *h = history_[c].data();
            std::copy(h + taken, h + before, h);
            for (std::size_t f = 0; f < taken; ++f)
                h[before - taken + f] = from[f * channels_ + c];
        }
    }

    // Each channel's `history_` holds the delay - 1 samples before the
    // block, then the block. A phase's taps are added in their order into
    // every output of the block at once.
    void addBlock(const float *frames, std::size_t count) {
        const std::size_t before = delay_ - 1;
        for (std::size_t c = 0; c < channels_; ++c) {
            float *h = history_[c].data();
            for (std::size_t f = 0; f < count; ++f)
                h[before + f] = frames[f * channels_ + c];
            // Stretch by stretch of kStretch outputs, each through the
            // samples it depends on.
            if (loudest(h, before + count) * bound_ > peak_)
                for (std::size_t at = 0; at < count; at += kStretch) {
                    const std::size_t n = std::min(kStretch, count - at);
                    const double most = loudest(h + at, before + n) * bound_;
                    if (most > peak_ && roughly(h + before + at, n) + most * kRoughness > peak_)
                        filter(h + before + at, n);
                }
            std::copy(h + count, h + count + before, h);
        }
    }

    // The loudest output of a stretch, filtered in float: the stretch's
    // outputs are held in registers, four to one, while the taps go by. A
    // shorter stretch at a block's end is filtered whole too (the history
    // has room), and only its own outputs are looked at.
    double roughly(const float *now, std::size_t count) {
        typedef float Lanes __attribute__((vector_size(16)));
        constexpr std::size_t kGroups = kStretch / 4;
        float most = 0;
        for (const std::vector<RoughTap> &phase : roughPhases_) {
            Lanes sums[kGroups] = {};
            for (const RoughTap &tap : phase) {
                const float *from = now - tap.index;
#pragma GCC unroll 8
                for (std::size_t g = 0; g < kGroups; ++g) {
                    Lanes x;
                    std::memcpy(&x, from + 4 * g, sizeof x);
                    sums[g] += x * tap.coeff;
                }
            }
            float outputs[kStretch];
            std::memcpy(outputs, sums, sizeof outputs);
            most = loudest(outputs, count, most);
        }
        return most;
    }

    void filter(const float *now, std::size_t count) {
        double *__restrict sums = sums_;
        float most = 0;
        for (const std::vector<Tap> &phase : phases_) {
            std::fill(sums, sums + count, 0.0);
            for (const Tap &tap : phase) {
                const float *__restrict from = now - tap.index;
                const double coeff = tap.coeff;
                for (std::size_t f = 0; f < count; ++f)
                    sums[f] += from[f] * coeff;
            }
            for (std::size_t f = 0; f < count; ++f)
                rounded_[f] = float(sums[f]);
            most = loudest(rounded_, count, most);
        }
        peak_ = std::max(peak_, double(most));
    }

    std::size_t channels_;
    int factor_;
    std::size_t delay_ = 1;
    std::vector<std::vector<Tap>> phases_;
    std::vector<std::vector<RoughTap>> roughPhases_;
    double bound_ = 0;
    std::vector<std::vector<float>> history_; // each channel's
    double sums_[kBlock];                     // one phase's outputs
    float rounded_[kBlock];                   // each kept as a float
    double peak_ = 0;
    float historyLoudest_ = 0; // of the samples the history holds, at most
};

// The integrated loudness: each channel K-weighted (a high shelf and a
// high pass in one fourth-order filter), its energy summed in 100 ms steps,
// a block of four steps kept when it is louder than -70 LUFS, and the blocks
// then gated 10 LU under their mean. These are libebur128's filter, blocks
// and gates; its figure is met to a part in 10^12, not to the bit: the sums
// are grouped so that a channel's recursion waits on one product, not four,
// and two channels run side by side.
class LevelMeter::Loudness {
public:
    Loudness(std::size_t channels, int rate, Trace &trace)
        : trace_(trace), channels_(channels), step_((std::size_t(rate) + 5) / 10),
          filters_((channels + 1) / 2), weights_(channels) {
        // The shelf, then the high pass, as bilinear biquads multiplied out.
        constexpr double kPi = std::numbers::pi;
        double k = std::tan(kPi * 1681.974450955533 / rate);
        double q = 0.7071752369554196;
        const double vh = std::pow(10.0, 3.999843853973347 / 20.0);
        const double vb = std::pow(vh, 0.4996667741545416);
        const double a0 = 1.0 + k / q + k * k;
        const double pb[3] = {(vh + vb * k / q + k * k) / a0, 2.0 * (k * k - vh) / a0,
                              (vh - vb * k / q + k * k) / a0};
        const double pa[3] = {1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
        k = std::tan(kPi * 38.13547087602444 / rate);
        q = 0.5003270373238773;
        const double rb[3] = {1.0, -2.0, 1.0};
        const double ra[3] = {1.0, 2.0 * (k * k - 1.0) / (1.0 + k / q + k * k),
                              (1.0 - k / q + k * k) / (1.0 + k / q + k * k)};
        for (int i = 0; i < 5; ++i)
            for (int j = std::max(0, i - 2); j <= std::min(i, 2); ++j) {
                b_[i] += pb[j] * rb[i - j];
                a_[i] += pa[j] * ra[i - j];
            }
        for (std::size_t c = 0; c < channels; ++c)
            weights_[c] = weightOf(c, channels);
    }

    // Left, right and centre count once, the surrounds 1.41 times; of six
    // or more channels, the fourth (the low frequencies) and those past the
    // sixth not at all.
    static double weightOf(std::size_t c, std::size_t channels) {
        if (channels == 4)
            return c < 2 ? 1.0 : 1.41;
        if (channels == 5)
            return c < 3 ? 1.0 : 1.41;
        return c < 3 ? 1.0 : c == 4 || c == 5 ? 1.41 : 0.0;
    }

    void add(const float *frames, std::size_t count) {
        while (count > 0) {
            const std::size_t n = std::min(count, step_ - done_);
            filter(frames, n);
            frames += n * channels_;
            count -= n;
            done_ += n;
            if (done_ == step_)
                endStep();
        }
    }

    /// Whether `other` can run beside this one: stereo both, at one rate,
    /// as far into their steps, on a processor with registers of four doubles.
    bool runsBeside(const Loudness &other) const {
        return kBeside && channels_ == 2 && other.channels_ == 2 && step_ == other.step_ &&
               done_ == other.done_ && std::equal(a_, a_ + 5, other.a_) &&
               std::equal(b_, b_ + 5, other.b_);
    }

    /// a.add(aFrames, count) and b.add(bFrames, count), side by side; `b`
    /// runs beside `a`.
    static void addTogether(Loudness &a, const float *aFrames, Loudness &b, const float *bFrames,
                            std::size_t count) {
        while (count > 0) {
            const std::size_t n = std::min(count, a.step_ - a.done_);
            a.filterBeside(a.filters_[0], aFrames, b.filters_[0], bFrames, n);
            aFrames += 2 * n;
            bFrames += 2 * n;
            count -= n;
            a.done_ += n;
            b.done_ += n;
            if (a.done_ == a.step_) {
                a.endStep();
                b.endStep();
            }
        }
    }

    /// LUFS; -1e9 for less than one block above -70 LUFS.
    double loudness() const {
        if (blocks_.empty())
            return -1e9;
        double mean = 0;
        for (const double e : blocks_)
            mean += e;
        const double relative = mean / double(blocks_.size()) * 0.1;
        double gated = 0;
        std::size_t kept = 0;
        for (const double e : blocks_)
            if (e >= relative)
                gated += e, ++kept;
        return kept ? 10 * std::log10(gated / double(kept)) - 0.691 : -1e9;
    }

    /// The overview, with the step under way.
    Overview overview() const {
        double last = -1;
        if (done_ > 0) {
            last = 0;
            for (std::size_t c = 0; c < channels_; ++c)
                last += weights_[c] * filters_[c / 2].sum[c % 2];
            last /= double(done_);
        }
        return trace_.overview(step_, last);
    }

private:
    // Two channels' values side by side, in one register where the
    // processor has registers of two doubles.
    typedef double Pair __attribute__((vector_size(16)));
    // Two channels' filters: their last four inner values, and the energy
    // of this step so far.
    struct Filter {
        Pair v1{}, v2{}, v3{}, v4{};
        Pair sum{};
    };

    void filter(const float *frames, std::size_t count) {
        const double a1 = a_[1], a2 = a_[2], a3 = a_[3], a4 = a_[4];
        const double b0 = b_[0], b1 = b_[1], b2 = b_[2], b3 = b_[3], b4 = b_[4];
        for (std::size_t p = 0; p < filters_.size(); ++p) {
            // A lone last channel runs beside a silent one.
            const std::size_t c = 2 * p, right = c + 1 < channels_ ? 1 : 0;
            const double rightGain = double(right);
            Filter f = filters_[p];
            for (std::size_t i = 0; i < count; ++i) {
                const float *frame = frames + i * channels_ + c;
                const Pair x = {frame[0], frame[right] * rightGain};
                const Pair v = (x - (a2 * f.v2 + a3 * f.v3 + a4 * f.v4)) - a1 * f.v1;
                const Pair y = b0 * v + b1 * f.v1 + b2 * f.v2 + b3 * f.v3 + b4 * f.v4;
                f.v4 = f.v3;
                f.v3 = f.v2;
                f.v2 = f.v1;
                f.v1 = v;
                f.sum += y * y;
            }
            settle(f);
            filters_[p] = f;
        }
    }

    // Two stereo filters through `count` frames, in registers of four
    // doubles: the same arithmetic, each filter's pair beside the other's,
    // so that two take the time of one (each waits on its own last value).
    __attribute__((target("avx"))) void filterBeside(Filter &fa, const float *a, Filter &fb,
                                                     const float *b, std::size_t count) const {
        typedef double Quad __attribute__((vector_size(32)));
        typedef float Four __attribute__((vector_size(16)));
        const double a1 = a_[1], a2 = a_[2], a3 = a_[3], a4 = a_[4];
        const double b0 = b_[0], b1 = b_[1], b2 = b_[2], b3 = b_[3], b4 = b_[4];
        // Written out, not in helpers: a helper would not be built for these registers.
        Quad v1 = {fa.v1[0], fa.v1[1], fb.v1[0], fb.v1[1]};
        Quad v2 = {fa.v2[0], fa.v2[1], fb.v2[0], fb.v2[1]};
        Quad v3 = {fa.v3[0], fa.v3[1], fb.v3[0], fb.v3[1]};
        Quad v4 = {fa.v4[0], fa.v4[1], fb.v4[0], fb.v4[1]};
        Quad sum = {fa.sum[0], fa.sum[1], fb.sum[0], fb.sum[1]};
        for (std::size_t i = 0; i < count; ++i) {
            Four four;
            std::memcpy(&four, a + 2 * i, 2 * sizeof(float));
            std::memcpy(reinterpret_cast<float *>(&four) + 2, b + 2 * i, 2 * sizeof(float));
            const Quad x = __builtin_convertvector(four, Quad);
            const Quad v = (x - (a2 * v2 + a3 * v3 + a4 * v4)) - a1 * v1;
            const Quad y = b0 * v + b1 * v1 + b2 * v2 + b3 * v3 + b4 * v4;
            v4 = v3;
            v3 = v2;
            v2 = v1;
            v1 = v;
            sum += y * y;
        }
        fa.v1 = Pair{v1[0], v1[1]}, fb.v1 = Pair{v1[2], v1[3]};
        fa.v2 = Pair{v2[0], v2[1]}, fb.v2 = Pair{v2[2], v2[3]};
        fa.v3 = Pair{v3[0], v3[1]}, fb.v3 = Pair{v3[2], v3[3]};
        fa.v4 = Pair{v4[0], v4[1]}, fb.v4 = Pair{v4[2], v4[3]};
        fa.sum = Pair{sum[0], sum[1]}, fb.sum = Pair{sum[2], sum[3]};
        settle(fa);
        settle(fb);
    }

    // A filter ringing down in silence would reach subnormal values, which
    // cost a hundred times more; what they add is nothing.
    static void settle(Filter &f) {
        for (Pair *v : {&f.v1, &f.v2, &f.v3, &f.v4})
            for (int k = 0; k < 2; ++k)
                if (std::fabs((*v)[k]) < 1e-30)
                    (*v)[k] = 0;
    }

    void endStep() {
        double energy = 0;
        for (std::size_t c = 0; c < channels_; ++c)
            energy += weights_[c] * filters_[c / 2].sum[c % 2];
        for (Filter &f : filters_)
            f.sum = Pair{};
        done_ = 0;
        trace_.step(energy / double(step_));
        recent_[steps_++ % 4] = energy;
        if (steps_ < 4)
            return;
        const double block =
            (recent_[0] + recent_[1] + recent_[2] + recent_[3]) / double(4 * step_);
        if (block >= kAbsoluteGate)
            blocks_.push_back(block);
    }

    static inline const bool kBeside = __builtin_cpu_supports("avx");

    // -70 LUFS as an energy.
    static inline const double kAbsoluteGate = std::pow(10.0, (-70.0 + 0.691) / 10.0);

    Trace &trace_;
    std::size_t channels_;
    std::size_t step_; // frames in 100 ms
    double b_[5] = {}, a_[5] = {};
    std::vector<Filter> filters_;
    std::vector<double> weights_;
    std::size_t done_ = 0;  // frames of this step
    double recent_[4] = {}; // the weighted energy of the last four steps
    std::size_t steps_ = 0;
    std::vector<double> blocks_; // blocks above the absolute gate
};

LevelMeter::LevelMeter(int channels, int rate, double fullScale)
    : channels_(std::size_t(std::max(channels, 0))), fullScale_(fullScale) {
    if (channels > 0 && channels <= 64 && rate >= 16) {
        trace_ = std::make_unique<Trace>(channels_);
        loudness_ = std::make_unique<Loudness>(channels_, rate, *trace_);
        truePeak_ = std::make_unique<TruePeak>(channels_, rate);
    }
}

LevelMeter::~LevelMeter() = default;

void LevelMeter::add(const float *frames, std::size_t count) {
    if (!ok() || count == 0)
        return;
    loudness_->add(frames, count);
    addPeaks(frames, count);
}

void LevelMeter::addTogether(LevelMeter &a, const float *aFrames, LevelMeter &b,
                             const float *bFrames, std::size_t count) {
    if (!a.ok() || !b.ok() || count == 0 || !a.loudness_->runsBeside(*b.loudness_)) {
        a.add(aFrames, count);
        b.add(bFrames, count);
        return;
    }
    Loudness::addTogether(*a.loudness_, aFrames, *b.loudness_, bFrames, count);
    a.addPeaks(aFrames, count);
    b.addPeaks(bFrames, count);
}

void LevelMeter::addPeaks(const float *frames, std::size_t count) {
    // Only a block that reaches full scale is counted through.
    const float peak = trace_->add(frames, count), top = float(fullScale_ - 1e-7);
    if (peak >= top)
        clipped_ += static_cast<long long>(reaching(frames, count * channels_, top));
    peak_ = std::max(peak_, peak);
    truePeak_->add(frames, count, peak);
}

Levels LevelMeter::levels() const {
    Levels levels;
    if (!ok())
        return levels;
    const double peak = peak_;
    const double truePeak = std::max(peak, truePeak_->peak());
    levels.peakDb = decibels(peak);
    levels.truePeakDb = decibels(truePeak);
    levels.loudness = loudness_->loudness();
    levels.clipped = clipped_;
    levels.overview = loudness_->overview();
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
