// Following an input's clock from when its frames arrive: where on the
// engine's clock each frame heard belongs, and the pace the engine's steady
// clock must keep so that the input's frames go on arriving where they are
// placed. An input on a sound card runs by the card's crystal, a few dozen
// parts per million off the computer's clock; an engine that keeps its pace
// records the input's frames one after the other, with no frame dropped or
// doubled, and sends each MIDI event when the input is at its frame.
#pragma once

#include <cstdint>

namespace audio {

class ClockFollower {
public:
    /// Frames arrived: `heard` frames before them in all, and the first
    /// frame ever heard reached the input no later than engine frame
    /// `bound` (the engine frame now, less every frame heard, less the
    /// input's own latency). Arrivals are late by any amount, never early:
    /// the least bound of each second of input is where the input's clock
    /// stands against the engine's.
    void arrived(std::int64_t bound, std::int64_t heard);
    /// The engine frame the first frame heard belongs at: frame `n` of the
    /// input belongs at origin() + n.
    std::int64_t origin() const { return origin_; }
    /// Engine frames per frame of the steady clock that keep the input's
    /// frames arriving where they are placed: 1 for an input exactly on the
    /// computer's clock, 0.9999 for one 100 ppm slow.
    double pace() const { return pace_; }
    /// Whether the first second heard has placed the input.
    bool placed() const { return placed_; }
    /// Whether pace() changed in the last arrival.
    bool paceChanged() const { return paceChanged_; }

    /// How far off its place the input may be before it is placed anew
    /// (2 ms): the engine cannot keep its pace (a sound server's clock
    /// drives it), or the input lost frames.
    static constexpr std::int64_t kReplaceFrames = 88;

private:
    std::int64_t origin_ = INT64_MIN;
    bool placed_ = false; // the first second heard: its least bound is the origin
    std::int64_t least_ = INT64_MAX, secondEnd_ = -1; // -1: nothing heard yet
    double sum_ = 0; // the offsets so far, in frames: the pace's steady part
    double pace_ = 1.0;
    bool paceChanged_ = false;
};

} // namespace audio
