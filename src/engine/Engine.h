// The sound engine: an object made with its settings (the program's sound
// system makes one its devices share), a frame clock at 44100 Hz (a
// renderer's driven engine may run at another rate) that
// renders the synthesiser in periods of 256 frames and hands each period to
// the recorders. Its clock is a sound server asking for audio, or the steady
// clock (nothing to hear), or whoever drives it (a renderer running free).
#pragma once

#include "engine/DeviceConfig.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace audio {

inline constexpr int kSampleRate = 44100;
inline constexpr int kChannels = 2;
inline constexpr int kPeriodFrames = 256;
/// An output that has taken everything rendered gets up to this many frames
/// rendered at once (four periods), when that takes less than half of its
/// cycle: a server asking for small cycles then wakes the synthesiser once
/// in four, warm, which costs far less CPU than a cold period each cycle.
inline constexpr int kOutputFrames = 4 * kPeriodFrames;

class AlsaMidi;
class Capture;
class InternalMidi;
class MidiTarget;
class Output;
class PeriodHistory;
class SoundNotices;
class Synthesiser;

/// What moves an engine's clock on.
enum class EngineClock {
    /// The engine's own thread, by the steady clock, in real time; with an
    /// output from devices.ini, the sound server's requests instead.
    Steady,
    /// Whoever holds the engine, through advanceClock() and drive(): a
    /// renderer that runs as fast as it can, or a test.
    Driven,
    /// A sound server asking for audio (set by the engine itself).
    Output,
};

/// Channels (16 × port + channel, from 0) muted, played alone or held on a
/// preset, whatever the song sends.
struct ChannelParts {
    std::vector<int> muted;
    std::vector<int> solo; // when any: every other channel is muted
    struct Program {
        int channel = 0, program = 0;
        int bank = -1; // -1: the channel's own (the drum bank on a drum channel)
    };
    std::vector<Program> programs;
    bool empty() const { return muted.empty() && solo.empty() && programs.empty(); }
};

/// A channel (16 × port + channel) as musicians name it: "1" to "16", and
/// with ports "A1" to "D16" (port A's channels are the plain ones).
std::string channelName(int channel);

/// How an engine is made.
struct EngineSettings {
    EngineClock clock = EngineClock::Steady;
    /// devices.ini's sections: the output, an outside synthesiser, the input.
    DevicesConfig devices;
    /// The SoundFont, over devices.ini's [Synth] SoundFont (kestrune-render's
    /// --soundfont, the settings program's choice); empty: devices.ini's,
    /// else the first of the default list.
    std::string soundFont;
    /// Benchmarks only: the steady clock runs this many times faster than
    /// real time (and no sound server is asked).
    double timeScale = 1.0;
    /// A driven engine's frames a second, which its synthesiser renders at
    /// (from Synthesiser::kMinSampleRate to kMaxSampleRate). An engine that
    /// a sound server or the steady clock drives always runs at kSampleRate.
    int sampleRate = kSampleRate;
    /// Each channel recorded on its own besides the mix (stemPeriod()).
    bool stems = false;
    /// With stems: each channel dry, and one reverb and one chorus shared by
    /// all of them as two stems more, after the channels.
    bool dryStems = false;
    ChannelParts parts;
    /// Whether the recorders dither as they quantise (else they round).
    bool dither = true;
};

/// Feeds the synthesiser, or an outside one: called on the rendering
/// thread, with the engine lock held, just before each 64-frame block is
/// rendered.
class EngineSource {
public:
    virtual ~EngineSource() = default;
    virtual void beforeBlock(std::int64_t blockStart, MidiTarget &target) = 0;
    /// Whether beforeBlock() would do nothing at all for the block at
    /// `blockStart`, the next after the last it was called for: then that
    /// block is rendered together with the one before.
    virtual bool idleAt(std::int64_t /*blockStart*/) const { return false; }
};

/// Takes what the wave input hears: called with the engine lock held, once
/// for every period (kPeriodFrames interleaved stereo frames). That is the
/// synthesiser's own output (the loopback), or, with a real input, what
/// the input heard, placed at the frames whose MIDI it answers.
class EngineSink {
public:
    virtual ~EngineSink() = default;
    virtual void period(std::int64_t periodStart, const float *frames) = 0;
};

class Engine {
public:
    using Clock = EngineClock;

    /// Starts an engine with `settings`; what it has to tell goes to
    /// `notices` (one of its own when null).
    explicit Engine(const EngineSettings &settings, std::shared_ptr<SoundNotices> notices = {});
    /// An engine on the output `settings.devices` names exactly as named (no
    /// falling back), for trying an output out. `error` says why it plays
    /// nowhere when no output opens; it then runs by the steady clock.
    static std::unique_ptr<Engine> tryOutput(const EngineSettings &settings, std::string &error);

    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    Clock clock() const { return clock_.load(); }
    /// Its frames a second: the clock's, the synthesiser's and the recorders'.
    int sampleRate() const { return rate_; }
    /// True when the clock is real time: nothing may wait on the rendering
    /// thread. A driven engine lets its sinks hold it up instead of
    /// buffering without end.
    bool realTime() const { return clock_.load() != Clock::Driven; }
    /// The output being heard, or null (any thread while the engine holds it).
    const Output *output() const { return output_.get(); }

    /// The engine lock: taken by the engine around each period, and by the
    /// devices to change what they feed or take.
    std::mutex &lock() { return mutex_; }

    /// The first frame of the next period to begin by the clock: where a
    /// playback started now begins. The engine may render a few periods
    /// late, but never moves a start. Call with the lock held.
    std::int64_t nextPeriodFrame() const;
    /// Where a recording started now begins: on the first frame of the song
    /// being played (or just played to its end) when it began no longer
    /// ago than the periods the engine keeps (about a second), so that
    /// whatever delays the record command, the recording holds its song
    /// from the start; else at the next period. Call with the lock held.
    std::int64_t recordingStartFrame() const;
    /// The sequencer began playing a song at `frame` / stopped it, or let
    /// go of it: a recording started in between takes the song from there.
    /// Call with the lock held.
    void songStarted(std::int64_t frame);
    void songStopped();
    /// Renders every period the clock has reached, now, in the calling
    /// thread: devices call it before they stop, so that what they stop
    /// ends where the clock stands. Call with the lock held.
    void catchUp();

    /// Driven clock: moves the clock on by `frames` without rendering, as
    /// time passing while the engine is held up. Call with the lock held.
    void advanceClock(std::int64_t frames);
    /// Driven clock: moves the clock on by `frames` and renders every period
    /// it has reached. Call with the lock held.
    void drive(std::int64_t frames);

    /// Output clock: the server wants `frames` frames. The engine renders
    /// what it needs and copies it out at the monitor's volume: interleaved
    /// stereo into `out`, or into `left` and `right`. On the server's thread;
    /// takes the lock.
    void pull(float *out, std::size_t frames);
    void pull(float *left, float *right, std::size_t frames);
    /// Output clock: the output is gone (the server stopped, the stream
    /// failed). The engine goes on by the steady clock from the frame it
    /// reached, without a gap, and a notice says what was lost and why.
    /// On any thread but a rendering one; takes the lock.
    void outputLost(const std::string &why);
    /// A JACK cycle of `frames` frames: renders them (copied out at the
    /// monitor's volume when `left` and `right` are given), then calls
    /// `after` with the lock still held and the engine frame of the cycle's
    /// first frame. On the server's thread; takes the lock.
    void cycle(float *left, float *right, std::size_t frames,
               void (*after)(void *data, std::int64_t start), void *data);

    /// Where the sequencer's events go: an outside synthesiser's port when
    /// devices.ini names one, else the engine's own synthesiser (null until
    /// it is loaded). Call with the lock held.
    MidiTarget *midiTarget();
    /// Whether the sequencer plays an outside synthesiser.
    bool outsideSynthesiser() const { return outside_; }
    /// Why the outside synthesiser's port, or the real input, that
    /// devices.ini names cannot be used; empty when they can (or none is named).
    const std::string &sequencerError() const { return sequencerError_; }
    const std::string &inputError() const { return inputError_; }
    /// Whether the recorders hear a real input rather than the loopback.
    bool capturing() const { return capturing_; }
    /// What a real input heard, `frames` stereo frames (interleaved, or
    /// `left` and `right`) that reached it at engine frame `frame`. They go
    /// to the recorders at the frames whose MIDI they answer. With the lock
    /// held (captureLocked), or taking it.
    void captureLocked(std::int64_t frame, const float *left, const float *right,
                       std::size_t frames);
    void capture(std::int64_t frame, const float *interleaved, std::size_t frames);
    /// The input's clock against the engine's: the engine frame at which
    /// the last frame heard so far reached the input, and the frames heard
    /// in all. Two readings give the drift between the two clocks, as the
    /// engine has followed it. Takes the lock.
    /// `ahead` is how many frames the engine's clock has run ahead of the
    /// computer's in all, keeping an input's pace (followInput()).
    struct InputClock {
        std::int64_t at = 0, heard = 0;
        double ahead = 0;
    };
    InputClock inputClock();
    /// Steady clock: runs on at `pace` engine frames to each frame of the
    /// steady clock, from the frame it stands at, so that an input whose
    /// clock is the sound card's arrives where it is placed (ClockFollower).
    /// Any other clock keeps its own pace. Takes the lock.
    void followInput(double pace);
    /// When the clock reaches `frame`: the steady clock at its pace now, a
    /// sound server's as the server reckons it; nothing when that is not
    /// known (a driven clock, a server that does not tell). Call with the
    /// lock held.
    std::optional<std::chrono::steady_clock::time_point> timeOf(std::int64_t frame) const;
    /// The frame the engine's clock stands at now, to the frame: an
    /// output's clock runs on by the steady clock between its requests (any
    /// thread; takes the lock).
    std::int64_t now();
    /// An outside synthesiser's port or a real input went away mid-run: the
    /// run ends as one whose save failed, and a notice names what was lost.
    /// On any thread but a rendering one; takes the lock.
    void portLost(const std::string &why);
    /// Set once a port was lost: playback ends at the next block.
    bool broken() const { return broken_.load(); }
    /// What was lost, and how (once broken()).
    std::string lostWhy();

    /// Frames rendered so far (any thread).
    std::int64_t framesRendered() const { return rendered_.load(std::memory_order_acquire); }

    /// Loads the synthesiser if it is not loaded yet, with `channels` MIDI
    /// channels (16 for each port a song addresses): one with another
    /// number is renewed. Returns false and sets `error` when there is no
    /// SoundFont, it cannot be loaded, or it lacks a preset the parts hold
    /// a channel on. Takes the lock.
    bool ensureSynthesiser(std::string &error, int channels = 16);
    /// With stems: the channels, and what channel `channel` made in the
    /// period the sinks are being handed (interleaved stereo), its share of
    /// reverb and chorus included; with dry stems, the channels dry, then
    /// the reverb's and the chorus's returns. Call with the lock held.
    int stemChannels() const { return settings_.stems && synth_ ? stemChannels_ : 0; }
    const float *stemPeriod(int channel) const {
        return &stemPeriod_[std::size_t(channel) * kPeriodFrames * kChannels];
    }
    /// The synthesiser, or null. Call with the lock held.
    Synthesiser *synthesiser() { return synth_.get(); }
    /// The synthesiser sounds from the frame the first playback starts at;
    /// before it, the engine renders silence without it, so that a song's
    /// sound never depends on how long the synthesiser idled first. Call
    /// with the lock held.
    void startSynthesiser(std::int64_t frame) { synthFrom_ = std::min(synthFrom_, frame); }
    /// Replaces the synthesiser by a fresh one on the same SoundFont, with no
    /// history (kestrune-render, between two files). Call with the lock held.
    bool renewSynthesiser(std::string &error);

    /// Attach and detach a source or sink. A sink that takes periods
    /// `from` a frame gone by is first handed those of them the engine
    /// still keeps. Call with the lock held.
    void addSource(EngineSource *source);
    void removeSource(EngineSource *source);
    void addSink(EngineSink *sink, std::int64_t from = INT64_MAX);
    void removeSink(EngineSink *sink);

    /// Where the last playback and the last recording started, and where the
    /// last recording ended, in frames.
    std::atomic<std::int64_t> lastPlayStartFrame{-1};
    std::atomic<std::int64_t> lastRecordStartFrame{-1};
    std::atomic<std::int64_t> lastRecordEndFrame{-1};

    /// Where its notices go.
    SoundNotices &notices() { return *notices_; }
    const EngineSettings &settings() const { return settings_; }

private:
    Engine(const EngineSettings &settings, std::shared_ptr<SoundNotices> notices,
           std::string *tryError);
    void run();
    void startSteadyClock();
    std::int64_t clockFrame() const;
    double steadyFrame(std::chrono::steady_clock::time_point when) const;
    double aheadAt(std::chrono::steady_clock::time_point when) const;
    std::chrono::steady_clock::time_point steadyTimeOf(std::int64_t frame) const;
    void renderPeriod(float *out);
    bool idleAt(std::int64_t blockStart) const; // every source's
    void refill(std::size_t asked);
    template <typename Copy> void pullFrames(std::size_t frames, Copy copy);
    std::int64_t markRequest();
    void openOutsideParts(const DevicesConfig &config);
    void toRecorders(std::int64_t frame, const float *left, const float *right, std::size_t step,
                     std::size_t frames);
    void toSinks(std::int64_t start, const float *frames);

    const EngineSettings settings_;
    const int rate_;
    std::shared_ptr<SoundNotices> notices_;
    std::atomic<Clock> clock_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::int64_t frame_ = 0; // the first frame of the next period to render
    std::int64_t due_ = 0;   // driven clock: the frame the clock has reached
    std::atomic<std::int64_t> rendered_{0};
    std::unique_ptr<Synthesiser> synth_;
    bool useSynthesiser(std::unique_ptr<Synthesiser> synth, std::string &error);
    int stemChannels_ = 0;
    std::vector<float> stemPeriod_; // each channel's period, one after the other
    std::unique_ptr<InternalMidi> internal_;
    std::int64_t synthFrom_ = INT64_MAX; // the frame the synthesiser first renders
    // An outside synthesiser and a real input, as devices.ini names them.
    bool outside_ = false;
    MidiTarget *external_ = nullptr; // the JACK client's port, or alsa_
    std::unique_ptr<AlsaMidi> alsa_;
    std::unique_ptr<Capture> pulseInput_;
    std::atomic<bool> capturing_{false}; // read unlocked by capturing()
    std::int64_t inputShift_ = 0;        // captured frames go to the recorders this much earlier
    std::vector<float> inputPeriod_;     // the captured period being filled
    std::int64_t inputPeriodStart_ = INT64_MIN;
    std::int64_t inputNext_ = INT64_MIN; // the first frame the recorders do not have yet
    InputClock inputClock_;
    std::string sequencerError_, inputError_;
    std::atomic<bool> broken_{false};
    std::mutex lostMutex_;
    std::string lostWhy_; // guarded by lostMutex_
    std::vector<EngineSource *> sources_;
    std::vector<EngineSink *> sinks_;
    // What the sinks were handed lately, and where the song being played
    // began (INT64_MIN: none).
    std::unique_ptr<PeriodHistory> history_;
    std::int64_t songFrom_ = INT64_MIN;
    std::vector<float> buffer_;              // the last periods rendered for an output
    std::size_t buffered_ = 0;               // frames in it
    std::size_t delivered_ = 0;              // frames of them the output has taken
    std::chrono::nanoseconds periodCost_{0}; // rendering one period took, lately
    // An output's clock between its requests: the first frame it took at
    // its last one, and when.
    std::int64_t askedFrame_ = 0;
    std::chrono::steady_clock::time_point askedAt_;
    float volume_ = 1.0f; // the monitor's, never the recording's
    double timeScale_ = 1.0;
    std::chrono::steady_clock::time_point start_; // where the steady clock counts from,
    double startFrame_ = 0;                       //   the frame it stood at then
    double pace_ = 1.0;                           //   and its frames to the nominal ones
    double ahead_ = 0; // frames run ahead of the nominal rate before start_
    std::unique_ptr<Output> output_;
    std::thread thread_; // steady clock only; started last, stopped first
};

} // namespace audio
