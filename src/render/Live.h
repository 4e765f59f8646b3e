// A live batch: songs played in real time to a synthesiser, most often an
// outside one (a sound module, a hardware synthesiser, another program), and
// recorded from the input it plays into. What the input hears decides when
// a song may start (the last one has rung out), where the automatic tail
// ends (the input's own noise floor), and whether the instrument is there at
// all; every song starts on a reset instrument, and every way out leaves it
// silent.
#pragma once

#include "engine/DeviceConfig.h"
#include "engine/Engine.h"
#include "engine/MidiFile.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace render {

struct Request;

/// The instrument's reset between songs: the system-exclusive reset of a
/// standard (--reset), then the channels' own.
enum class ResetKind { Gm, Gs, Xg, Mt32, None };
/// "gm", "gs", "xg", "mt32" or "none"; false for anything else.
bool parseReset(const std::string &text, ResetKind &kind);

/// devices.ini's synthesiser and input, with the command line's
/// --midi-port, --input and --latency over them.
audio::DevicesConfig liveDevices(const Request &request);

/// What the input heard, a period at a time, at the frames whose MIDI it
/// answers: the loudest sample of each of the last seconds' periods.
class InputMeter : public audio::EngineSink {
public:
    void period(std::int64_t start, const float *frames) override;

    /// The frame up to which the input has been heard (-1: nothing yet).
    std::int64_t heardUpTo() const;
    /// The loudest sample heard from `frame` on (among the last seconds'),
    /// on both sides or on side `side` (0: left, 1: right).
    float loudestSince(std::int64_t frame, int side = -1) const;
    /// The frame after which the input has stayed at or below `level`
    /// (the start of the periods kept when it has all along).
    std::int64_t quietSince(float level) const;
    /// The loudest sample, and the samples at full scale, since clear().
    float peak() const;
    long long clipped() const;
    void clear();

private:
    mutable std::mutex mutex_;
    struct Heard {
        std::int64_t start;
        float loudest[2]; // each side's
    };
    std::deque<Heard> periods_;
    float peak_ = 0;
    long long clipped_ = 0;
};

/// An engine's instrument and input, as a live batch uses them.
class LiveRig {
public:
    LiveRig(std::shared_ptr<audio::Engine> engine, ResetKind reset);
    ~LiveRig();
    LiveRig(const LiveRig &) = delete;
    LiveRig &operator=(const LiveRig &) = delete;

    /// Which options named the port and the input ("--midi-port",
    /// "--input"), where devices.ini did not.
    void namedBy(const std::string &port, const std::string &input) {
        portNamedBy_ = port;
        inputNamedBy_ = input;
    }
    /// Why the instrument or its input cannot be used; empty when they can.
    std::string problem() const;
    /// What the input hears with nothing playing, as a sample's value:
    /// the loudest of one second after a reset, into `floor`. Why it
    /// cannot be measured (the input delivers nothing), or empty.
    std::string measureFloor(float &floor);
    /// Plays one loud short note; whether the input heard it well above its
    /// floor on either side (a hum on one side hides nothing on the other).
    bool hearsANote();
    /// The reset, sent now; returns once the instrument has had it.
    void reset();
    /// Then waits until the input has stayed within 6 dB of `floor` for
    /// 200 ms, at most `seconds`; false when it never did.
    bool waitForQuiet(float floor, double seconds);
    /// All notes off and all sound off on every channel, now; returns once
    /// they have left.
    void silence();
    /// Plays `chord` (note numbers) on channel 1 for `seconds`, loud.
    void playChord(const std::vector<int> &chord, double seconds);

    InputMeter &meter() { return meter_; }

private:
    class Messages;
    void sendAt(std::int64_t frame, const audio::MidiEvent &event,
                const std::vector<std::uint8_t> &sysex = {});
    std::int64_t startFrame();
    void waitUntilSent(std::int64_t frame);

    std::shared_ptr<audio::Engine> engine_;
    ResetKind reset_;
    InputMeter meter_;
    float floor_[2] = {0, 0}; // each side's
    std::string portNamedBy_, inputNamedBy_;
    std::unique_ptr<Messages> messages_;
};

/// The level check: a loud chord sequence, over and over, and the input's
/// peak drawn as a meter on standard error until Enter (a line on standard
/// input, or its end) or ^C. Returns the exit status.
int runLevelCheck(const Request &request);

} // namespace render
