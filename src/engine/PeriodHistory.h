// The periods an engine last handed to its recorders, kept for a while, so
// that a recording started a moment after its song still takes the song
// from its first frame.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace audio {

class PeriodHistory {
public:
    /// Keeps the last `periods` periods (none: it only counts what it
    /// forgot) of `frames` frames of `channels` interleaved samples.
    PeriodHistory(std::size_t periods, int frames, int channels);

    /// The period that starts at engine frame `start` was handed out.
    void keep(std::int64_t start, const float *samples);
    /// Whether every period handed out from frame `from` on is still kept
    /// (true when none was).
    bool keepsFrom(std::int64_t from) const { return forgottenEnd_ <= from; }
    /// Calls `hand(start, samples)` for each period kept that starts at or
    /// after `from`, oldest first.
    template <typename Hand> void replay(std::int64_t from, Hand hand) const {
        const std::size_t periods = starts_.size();
        for (std::size_t i = 0; i < held_; ++i) {
            const std::size_t slot = (next_ + periods - held_ + i) % periods;
            if (starts_[slot] >= from)
                hand(starts_[slot], samples_.data() + slot * periodSamples_);
        }
    }

private:
    const int frames_;
    const std::size_t periodSamples_;
    std::vector<float> samples_;            // the periods, slot after slot
    std::vector<std::int64_t> starts_;      // each slot's first frame
    std::size_t next_ = 0;                  // the slot the next period goes to
    std::size_t held_ = 0;                  // slots in use
    std::int64_t forgottenEnd_ = INT64_MIN; // where the newest period no longer kept ends
};

} // namespace audio
