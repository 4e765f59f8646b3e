// A recording's levels as a listener or a broadcaster measures them (EBU
// R128), and the gain that brings it to a loudness.
#pragma once

#include "engine/WaveFile.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace audio {

/// What is taken for silence: a sample's magnitude of -90 dBFS.
inline constexpr float kQuietLevel = 3.1622777e-5f;

/// An amplitude (a sample's magnitude, full scale 1) in decibels; -1e9 for
/// none, which no level reaches.
double decibels(double amplitude);
/// The largest magnitude of `count` samples, at least `most`.
float loudest(const float *samples, std::size_t count, float most = 0);

/// Whether `db` is a level, not decibels()'s none.
inline bool isLevel(double db) {
    return db > -1e8;
}

/// A recording seen from afar, as a thumbnail draws it: its length cut
/// into equal columns (fewer for a recording of fewer frames), and of each
/// the loudest sample and the loudness.
struct Overview {
    static constexpr std::size_t kColumns = 200;
    /// No loudness: the column is quieter than -70 LUFS.
    static constexpr std::int16_t kQuiet = -32768;
    std::vector<std::int16_t> peaks;    // thousandths of full scale, 0 to 1000
    std::vector<std::int16_t> loudness; // its loudness, whole LUFS, or kQuiet
    bool operator==(const Overview &) const = default;
};

struct Levels {
    double peakDb = -1e9;     // the loudest sample, dBFS
    double truePeakDb = -1e9; // between the samples too (4x oversampled), dBTP
    double loudness = -1e9;   // integrated loudness, LUFS; -1e9 for silence
    long long clipped = 0;    // samples at full scale, either sign
    Overview overview;
    bool silent() const { return loudness < -1e8; }
    bool operator==(const Levels &) const = default;
};

/// Measures levels as the samples go by, in one pass: the integrated
/// loudness, the sample peak, the samples at full scale, the true peak, and
/// the overview.
class LevelMeter {
public:
    /// Interleaved float samples of `channels` at `rate`; `fullScale` is
    /// the largest value the stored depth holds (127/128 for 8 bits, ...).
    LevelMeter(int channels, int rate, double fullScale);
    ~LevelMeter();
    LevelMeter(const LevelMeter &) = delete;
    LevelMeter &operator=(const LevelMeter &) = delete;
    /// False for no channels or a rate no meter takes: nothing is measured.
    bool ok() const { return loudness_ != nullptr; }
    std::size_t channels() const { return channels_; }
    void add(const float *frames, std::size_t count);
    /// a.add(aFrames, count) and b.add(bFrames, count), to the bit, in less
    /// time: two stereo meters at one rate filter their loudness side by
    /// side. The two are fed on the same thread.
    static void addTogether(LevelMeter &a, const float *aFrames, LevelMeter &b,
                            const float *bFrames, std::size_t count);
    /// What was measured until now.
    Levels levels() const;

private:
    // All but the loudness.
    void addPeaks(const float *frames, std::size_t count);

    std::size_t channels_;
    double fullScale_;
    class Loudness;
    std::unique_ptr<Loudness> loudness_;
    class TruePeak;
    std::unique_ptr<TruePeak> truePeak_;
    class Trace;
    std::unique_ptr<Trace> trace_;
    float peak_ = 0;
    long long clipped_ = 0;
};

/// The full scale of a libsndfile subformat, as its samples read as float;
/// and of a WAVE format's samples.
double fullScaleOf(int sndfileSubformat);
double fullScaleOf(const WaveFormat &format);

/// Measures the sound file `path` (anything libsndfile reads). False with
/// `error` when it cannot be read.
bool measureLevels(const std::string &path, Levels &levels, std::string &error);

/// The gain in dB that brings `levels` to `target` LUFS without its true
/// peak passing `ceiling` dBTP; 0 for silence.
double normalizingGain(const Levels &levels, double target, double ceiling);

} // namespace audio
