// Where the sequencer's events go: the engine's own synthesiser, or an
// outside synthesiser's MIDI port (JACK MIDI, the ALSA sequencer).
#pragma once

#include "engine/MidiFile.h"

#include <cstdint>

namespace audio {

class Synthesiser;

class MidiTarget {
public:
    virtual ~MidiTarget() = default;
    /// Plays `event` at engine frame `frame`; `sysex` is the song's
    /// system-exclusive data. The engine's synthesiser plays it at the start
    /// of the block that holds the frame; a port sends it at the frame.
    virtual void send(const MidiEvent &event, std::int64_t frame, const std::uint8_t *sysex) = 0;
    /// Releases every sounding note on every channel and lifts the sustain
    /// pedal, at `frame`.
    virtual void allNotesOff(std::int64_t frame) = 0;
    /// Back to the power-on state: every sound off, every controller reset.
    virtual void reset(std::int64_t frame) = 0;
    /// The engine's own synthesiser, or null for an outside one.
    virtual Synthesiser *synthesiser() { return nullptr; }
};

/// The engine's own synthesiser as a target.
class InternalMidi : public MidiTarget {
public:
    explicit InternalMidi(Synthesiser &synth) : synth_(synth) {}
    void send(const MidiEvent &event, std::int64_t frame, const std::uint8_t *sysex) override;
    void allNotesOff(std::int64_t frame) override;
    void reset(std::int64_t frame) override;
    Synthesiser *synthesiser() override { return &synth_; }

private:
    Synthesiser &synth_;
};

/// The bytes of a channel message (status and its one or two data bytes).
int channelMessageBytes(const MidiEvent &event, std::uint8_t bytes[3]);

} // namespace audio
