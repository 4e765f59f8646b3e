// Where the engine is heard: the output backends of the desktop's sound
// servers, chosen from one table as FluidSynth chooses its audio drivers.
// With an output, the server's requests for audio are the engine's clock.
#pragma once

#include "engine/DeviceConfig.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace audio {

class Engine;
class MidiTarget;

/// An open output. The server asks for audio on a thread of its own and
/// the engine renders it there. Destroying the output closes it: no call
/// reaches the engine after the destructor returns.
class Output {
public:
    virtual ~Output() = default;
    /// What it plays to, by the server's names: "PulseAudio sink alsa_output.pci-0000…".
    virtual std::string describe() const = 0;
    /// The monitor's latency as the server reports it, in seconds.
    virtual double latency() const = 0;
    /// How often the server found no audio ready to play.
    virtual long underruns() const = 0;
    /// The outside synthesiser's MIDI port this output's client also
    /// serves, or null.
    virtual MidiTarget *midiPort() { return nullptr; }
    /// The latency from that port to where the synthesiser plays, in
    /// frames, as the server reports it.
    virtual std::int64_t midiLatency() const { return 0; }
    /// How long ago what its capture ports hear reached the input, in
    /// frames, as the server reports it.
    virtual std::int64_t captureLatency() const { return 0; }
    /// When, by the steady clock, the server's clock reaches engine frame
    /// `frame` as the server reckons it; nothing when it does not tell.
    /// Call with the engine's lock held.
    virtual std::optional<std::chrono::steady_clock::time_point> timeOf(std::int64_t) const {
        return std::nullopt;
    }
};

/// What the engine's JACK client serves: the monitor (to `monitorPorts`, or
/// the system's playback), an outside synthesiser's MIDI port, and a real
/// input (from `capturePorts`). A port it is to connect to that does not
/// exist makes it fail, naming the port.
struct JackParts {
    bool monitor = true;
    std::string monitorPorts;
    bool midi = false;
    std::string midiPort;
    bool capture = false;
    std::string capturePorts;
};
std::unique_ptr<Output> openJackClient(Engine &engine, const JackParts &parts, std::string &error);

/// A real input that is not the engine's clock: a PulseAudio source.
class Capture {
public:
    virtual ~Capture() = default;
    virtual std::string describe() const = 0;
};
std::unique_ptr<Capture> openPulseCapture(Engine &engine, const std::string &source,
                                          std::string &error);

/// A place a backend can play to, by its stable server name.
struct OutputDevice {
    std::string name;        // as devices.ini writes it
    std::string description; // as a person reads it
};

/// One entry of the table. `none` is a backend too: it always answers, and
/// opening it gives no output and no error, so that the engine keeps the
/// steady clock and nothing is heard.
struct OutputBackend {
    const char *name;  // as devices.ini writes it
    const char *title; // as kestrune-devices shows it
    /// Whether a server answers now.
    bool (*answers)();
    /// Opens the output on `device` (empty: the server's default). Returns
    /// null and sets `error` when it cannot (none: null, no error).
    std::unique_ptr<Output> (*open)(Engine &engine, const std::string &device, std::string &error);
    /// The devices the server offers. Sets `error` when no server answers.
    std::vector<OutputDevice> (*devices)(std::string &error);
    /// Opens one client that also serves an outside synthesiser's MIDI port
    /// and a real input (JACK only; null elsewhere).
    std::unique_ptr<Output> (*openClient)(Engine &engine, const JackParts &parts,
                                          std::string &error);
};

/// none, pulse, jack: the order in which "auto" tries them is pulse, jack.
const std::vector<OutputBackend> &outputBackends();
/// The backend of that name, or null.
const OutputBackend *findOutputBackend(const std::string &name);

/// What an engine opens, and what could not be used of what devices.ini names.
struct OutputChoice {
    std::unique_ptr<Output> output; // null: none, the steady clock
    std::string notice;             // a fallback to tell once
    std::string error;              // exact: why the output named plays nowhere
    std::string sequencerError;     // the MIDI port named cannot be used
    std::string inputError;         // the capture ports named cannot be used
};

/// The one way an engine's output is chosen, through the table. When JACK
/// carries the outside synthesiser's MIDI or the input, its client is the
/// clock. Otherwise "auto" tries pulse, then jack, then none, silently; a
/// backend or device devices.ini names that does not answer falls back to
/// auto with a notice, or, when `exact` (trying an output out), is not
/// replaced and `error` says why. `serversAllowed` false (a benchmark's
/// faster clock) chooses none.
OutputChoice openOutput(Engine &engine, const DevicesConfig &config, bool exact,
                        bool serversAllowed);

/// What the servers offer the outside-synthesiser side, by their names:
/// PulseAudio sources (a sink's monitor among them), JACK MIDI inputs (an
/// outside synthesiser's), JACK audio outputs (what can be recorded).
std::vector<OutputDevice> pulseSources(std::string &error);
std::vector<OutputDevice> jackMidiInputs(std::string &error);
std::vector<OutputDevice> jackAudioOutputs(std::string &error);

// The backends, one file each.
bool noneAnswers();
std::unique_ptr<Output> openNoneOutput(Engine &engine, const std::string &device,
                                       std::string &error);
std::vector<OutputDevice> noneDevices(std::string &error);
bool pulseAnswers();
std::unique_ptr<Output> openPulseOutput(Engine &engine, const std::string &device,
                                        std::string &error);
std::vector<OutputDevice> pulseDevices(std::string &error);
bool jackAnswers();
std::unique_ptr<Output> openJackOutput(Engine &engine, const std::string &device,
                                       std::string &error);
std::vector<OutputDevice> jackDevices(std::string &error);

} // namespace audio
