// How a song's time passes while the recording session records it:
// offline, the engine is driven as fast as it renders; live, an instrument
// plays the song in real time and an input hears it.
#pragma once

#include "engine/Engine.h"
#include "render/Live.h"
#include "render/Result.h"

#include <memory>
#include <string>

namespace render {

class Transport {
public:
    virtual ~Transport() = default;
    /// Before a song: what plays it made ready, and what is known of it
    /// put into `result`. Raises Exception when the song cannot be played.
    virtual void beforeSong(Result &result) = 0;
    /// Lets the song's time go on by a step while the session records.
    virtual void advance() = 0;
    /// After the song, recorded or not: what was measured of it put into
    /// `result`; why the recording is no output (it was cut off), else empty.
    virtual std::string afterSong(Result &result) = 0;
    /// The level the automatic tail ends below, as a sample's value; 0:
    /// the session's own (-90 dBFS).
    virtual float quietLevel() const { return 0; }
    /// Every note that sounds silenced: a song cut short, the batch's end.
    virtual void silence() {}
};

/// The engine's driven clock, run as fast as the processor renders.
class OfflineTransport : public Transport {
public:
    explicit OfflineTransport(audio::Engine &engine) : engine_(engine) {}
    void beforeSong(Result &) override {}
    void advance() override;
    std::string afterSong(Result &) override { return {}; }

private:
    audio::Engine &engine_;
};

/// An instrument on the engine's MIDI output, heard through its input, in
/// real time: each song starts on a reset instrument that has rung out; the
/// input's floor ends the automatic tail; its clock, its peak and what cut
/// a song off are reported.
class LiveTransport : public Transport {
public:
    /// `floor` is the input's noise floor, as a sample's value, as it is
    /// measured before the first song; `latency` the frames the recording
    /// is placed earlier by.
    LiveTransport(audio::Engine &engine, LiveRig &rig, const float &floor, long latency)
        : engine_(engine), rig_(rig), floor_(floor), latency_(latency) {}
    void beforeSong(Result &result) override;
    void advance() override;
    std::string afterSong(Result &result) override;
    float quietLevel() const override;
    void silence() override;

private:
    audio::Engine &engine_;
    LiveRig &rig_;
    const float &floor_;
    long latency_;
    audio::Engine::InputClock clockBefore_{};
};

} // namespace render
