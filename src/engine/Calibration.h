// The calibration of a real input: how late the synthesiser's sound comes
// back through the input beyond what the servers report, measured with
// short percussive notes, to be stored as devices.ini's [WaveIn] Offset.
#pragma once

#include "engine/DeviceConfig.h"

#include <string>
#include <vector>

namespace audio {

struct Calibration {
    bool stored = false;        // a result worth keeping
    long offset = 0;            // the median, in frames
    double spreadMs = 0;        // the largest minus the smallest
    std::vector<long> measured; // each note's, in frames
    std::string message;        // the result, or why there is none
};

/// The notes played, and the most the measurements may spread.
inline constexpr int kCalibrationNotes = 5;
inline constexpr double kCalibrationSpreadMs = 10;

/// Plays kCalibrationNotes short notes (a wood block, General MIDI drum 76)
/// through the synthesiser `config` names, finds each onset in the input it
/// names, and returns the median offset with the spread. Refuses (stored
/// false) when a note is not heard, or the onsets spread more than
/// kCalibrationSpreadMs. Takes a few seconds; runs an engine of its own.
Calibration calibrate(const DevicesConfig &config);

/// Where a sound begins in `samples` (interleaved stereo, frame 0 at
/// `first`), looking from `from` to `to`: the first frame louder than eight
/// times the loudest of the quiet stretch before `from`, and than 0.005.
/// -1 when there is none.
long long onsetFrame(const std::vector<float> &samples, long long first, long long from,
                     long long to);

} // namespace audio
