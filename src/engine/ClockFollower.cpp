// A loop of the kind a sound server keeps its clock with: once a second, the
// input's offset from its place moves the pace by a share of it, and the sum
// of all offsets by a smaller share, which in the end holds the whole
// difference between the two clocks and leaves no offset.
#include "engine/ClockFollower.h"

#include "engine/Engine.h"

#include <algorithm>
#include <cstdlib>

namespace audio {
namespace {

// The loop's shares of the offset and of their sum (about a tenth of a
// second's reaction, settled within a minute, critically damped).
constexpr double kOffsetShare = 0.2;
constexpr double kSumShare = 0.01;
// No sound card is further off than this (1000 ppm).
constexpr double kMostOff = 1e-3;

} // namespace

void ClockFollower::arrived(std::int64_t bound, std::int64_t heard) {
    paceChanged_ = false;
    if (!placed_ && (origin_ == INT64_MIN || bound < origin_))
        origin_ = bound;
    least_ = std::min(least_, bound);
    if (secondEnd_ < 0)
        secondEnd_ = heard + kSampleRate;
    if (heard < secondEnd_)
        return;
    secondEnd_ = heard + kSampleRate;
    const std::int64_t offset = least_ - origin_;
    least_ = INT64_MAX;
    if (!placed_) {
        placed_ = true;
        return;
    }
    if (std::llabs(offset) > kReplaceFrames) {
        origin_ += offset;
        return;
    }
    // A positive offset: the input's frames arrive later than placed, its
    // clock is slower than the engine's, which slows down.
    sum_ += double(offset);
    pace_ = std::clamp(1.0 - (kOffsetShare * double(offset) + kSumShare * sum_) / kSampleRate,
                       1.0 - kMostOff, 1.0 + kMostOff);
    paceChanged_ = true;
}

} // namespace audio
