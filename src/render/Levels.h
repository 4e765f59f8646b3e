// A recording's levels as a listener or a broadcaster measures them (EBU
// R128 through libebur128), and the gain that brings it to a loudness.
#pragma once

#include <string>

namespace render {

struct Levels {
    double peakDb = -1e9;     // the loudest sample, dBFS
    double truePeakDb = -1e9; // between the samples too (4x oversampled), dBTP
    double loudness = -1e9;   // integrated loudness, LUFS; -1e9 for silence
    long long clipped = 0;    // samples at full scale, either sign
    bool silent() const { return loudness < -1e8; }
};

/// Measures the sound file `path` (anything libsndfile reads). False with `error` when it cannot be
/// read.
bool measureLevels(const std::string &path, Levels &levels, std::string &error);

/// The gain in dB that brings `levels` to `target` LUFS without its true
/// peak passing `ceiling` dBTP; 0 for silence.
double normalizingGain(const Levels &levels, double target, double ceiling);

} // namespace render
