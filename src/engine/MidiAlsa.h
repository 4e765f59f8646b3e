// The alsa sequencer output: an outside synthesiser on the ALSA sequencer
// (a hardware synthesiser on a MIDI cable, or a soft one), its events
// scheduled on a queue a little ahead of their time.
#pragma once

#include "engine/MidiTarget.h"
#include "engine/Output.h"

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace audio {

class Engine;

/// How far ahead of an event's time the engine may render it (the steady
/// clock renders in batches of about 93 ms): events leave the queue this
/// many frames after their frame's time, and recordings of the outside
/// synthesiser are placed that much earlier.
inline constexpr std::int64_t kAlsaLeadFrames = 4410;

/// The queue time, in nanoseconds from the queue's start, at which an event
/// due at engine frame `frame` leaves, when the queue started at engine
/// frame `queueStart` (never before the queue's start).
std::uint64_t alsaQueueNanoseconds(std::int64_t frame, std::int64_t queueStart,
                                   std::int64_t lead = kAlsaLeadFrames);

/// Fills `ev` with `event` (a channel message, or a system-exclusive one
/// from `sysex`); false for an event ALSA has no place for.
bool alsaEventFor(const MidiEvent &event, const std::uint8_t *sysex, snd_seq_event_t &ev);

/// The sequencer ports an outside synthesiser can be played on, as
/// "client name:port" with the port's name to read. Sets `error` when there
/// is no sequencer.
std::vector<OutputDevice> alsaMidiInputs(std::string &error);

class AlsaMidi : public MidiTarget {
public:
    /// Connects to `port` ("client:port", or a client's name). Returns null
    /// and sets `error` when the sequencer or the port is not there.
    static std::unique_ptr<AlsaMidi> open(Engine &engine, const std::string &port,
                                          std::string &error);
    ~AlsaMidi() override;

    void send(const MidiEvent &event, std::int64_t frame, const std::uint8_t *sysex) override;
    void allNotesOff(std::int64_t frame) override;
    void reset(std::int64_t frame) override;
    std::int64_t lead() const { return kAlsaLeadFrames; }

private:
    AlsaMidi() = default;
    void schedule(snd_seq_event_t &ev, std::int64_t frame);
    void control(std::int64_t frame, int channel, unsigned number, int value);
    void checkPort(std::int64_t frame);
    std::uint64_t queueTime(std::int64_t frame) const;

    Engine *engine_ = nullptr;
    std::string name_;    // the port as devices.ini names it
    snd_seq_addr_t to_{}; // and as the sequencer numbers it
    std::int64_t nextCheck_ = 0;
    snd_seq_t *seq_ = nullptr;
    int port_ = -1;
    int queue_ = -1;
    std::int64_t queueStart_ = 0; // the engine frame the queue started at
    std::chrono::steady_clock::time_point queueStartedAt_;
};

} // namespace audio
