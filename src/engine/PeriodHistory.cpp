// The ring of periods handed out, and what it has forgotten.
#include "engine/PeriodHistory.h"

#include <algorithm>

namespace audio {

PeriodHistory::PeriodHistory(std::size_t periods, int frames, int channels)
    : frames_(frames), periodSamples_(std::size_t(frames) * std::size_t(channels)),
      samples_(periods * periodSamples_), starts_(periods, 0) {}

void PeriodHistory::keep(std::int64_t start, const float *samples) {
    const std::size_t periods = starts_.size();
    if (periods == 0) {
        forgottenEnd_ = start + frames_;
        return;
    }
    if (held_ == periods)
        forgottenEnd_ = starts_[next_] + frames_; // the oldest makes room
    else
        ++held_;
    starts_[next_] = start;
    std::copy(samples, samples + periodSamples_,
              samples_.begin() + std::ptrdiff_t(next_ * periodSamples_));
    next_ = (next_ + 1) % periods;
}

} // namespace audio
