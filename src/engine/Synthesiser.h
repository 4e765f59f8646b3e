// The MIDI synthesiser: FluidSynth with a General MIDI SoundFont, fed one
// MIDI event at a time and rendered by the engine in 64-frame blocks.
#pragma once

#include "engine/DeviceConfig.h"
#include "engine/Engine.h"
#include "engine/MidiFile.h"

#include <memory>
#include <string>
#include <vector>

typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;

namespace audio {

/// How a synthesiser lays out its channels and what it renders.
struct SynthLayout {
    /// MIDI channels: 16 for each port a song addresses (drums on each
    /// port's tenth).
    int channels = 16;
    /// Each channel also rendered on its own, dry with its own share of
    /// reverb and chorus, so that the channels add up to the mix.
    bool stems = false;
    /// With stems: each channel dry, and one reverb and one chorus unit
    /// shared by all channels, whose returns are two stems more.
    bool dry = false;
    bool operator==(const SynthLayout &) const = default;
};

class Synthesiser {
public:
    /// Loads `soundFonts`, stacked: a preset comes from the first that holds
    /// it. The synthesiser plays with `controls`. Returns null and sets
    /// `error` when that fails.
    /// It renders `sampleRate` frames a second (kMinSampleRate to kMaxSampleRate).
    static std::unique_ptr<Synthesiser> create(const std::vector<std::string> &soundFonts,
                                               const SynthControls &controls, std::string &error,
                                               int sampleRate = kSampleRate,
                                               const SynthLayout &layout = {});
    /// The rates the synthesiser renders at; others are made by resampling.
    static constexpr int kMinSampleRate = 8000;
    static constexpr int kMaxSampleRate = 96000;
    /// What is wrong with `controls` (a value out of range, a FluidSynth
    /// setting that does not exist), named; empty when nothing is.
    static std::string controlsProblem(const SynthControls &controls);
    /// A synthesiser on the same SoundFont, without loading it again, and
    /// without history: nothing sounds, and its reverb and chorus (whose
    /// modulation goes on in silence) start afresh, so that it renders a
    /// song the same whatever came before. Null when it cannot be made.
    std::unique_ptr<Synthesiser> renewed(std::string &error) const;
    /// The same, laid out as `layout` says.
    std::unique_ptr<Synthesiser> renewed(std::string &error, const SynthLayout &layout) const;
    const SynthLayout &layout() const { return layout_; }
    /// Whether a preset `bank`:`program` is in one of its SoundFonts.
    bool hasPreset(int bank, int program) const;
    ~Synthesiser();
    Synthesiser(const Synthesiser &) = delete;
    Synthesiser &operator=(const Synthesiser &) = delete;

    /// Back to the power-on state: every voice off at once, every
    /// controller reset. What the reverb still holds dies away.
    void reset();
    /// Releases every sounding note on every channel, and lifts the sustain pedal.
    void allNotesOff();
    /// Plays one event; `sysex` is the song's system-exclusive data.
    void send(const MidiEvent &event, const std::uint8_t *sysex);
    /// Renders `frames` frames (whole blocks, at most kMostFrames) of
    /// interleaved stereo float samples: the mix, which with stems is their
    /// sum. Blocks rendered in one call cost less than one by one: the
    /// effects run once for them all. With stems, stem `c` is written
    /// interleaved too, at `stems` + `c` * `stride` (room the caller keeps
    /// for stemCount() stems): a channel, or with dry stems after the
    /// channels the reverb's return, then the chorus's.
    void render(float *interleaved, int frames, float *stems = nullptr, std::size_t stride = 0);
    /// How many stems render() writes.
    int stemCount() const { return layout_.stems ? layout_.channels + (layout_.dry ? 2 : 0) : 0; }
    /// Holds channel `channel` on preset `bank`:`program` whatever program
    /// changes and bank selects come (bank -1: the channel's own); -1 lets go.
    void holdProgram(int channel, int program, int bank);
    /// A channel that plays no note-ons (muted).
    void silence(int channel, bool silent);
    /// With stems: the reverb and chorus units of the channels that never
    /// sound in what is about to play (`sounds`, by channel) rest: what
    /// they would add is silence, and sixteen units cost.
    void restEffects(const std::vector<bool> &sounds);

    /// The synthesiser's block size: an event takes effect at a block boundary.
    static constexpr int kBlockFrames = 64;
    /// The most frames one render() takes.
    static constexpr int kMostFrames = 4 * kBlockFrames;

private:
    struct SoundFont;
    Synthesiser(std::shared_ptr<SoundFont> soundFont, SynthControls controls, SynthLayout layout);
    bool start(std::string &error);
    void markDrums();
    void afterReset();
    void applyHeld(int channel);

    std::shared_ptr<SoundFont> soundFont_; // loaded once, shared by renewed ones
    SynthControls controls_;
    fluid_settings_t *settings_ = nullptr;
    fluid_synth_t *synth_ = nullptr;
    SynthLayout layout_;
    std::vector<float> stems_;      // planar: each channel's left, then right
    std::vector<float *> dry_, fx_; // fluid_synth_process's buffers over them
    struct Held {
        int program = -1, bank = -1;
    };
    std::vector<Held> held_;
    std::vector<bool> silent_;
};

} // namespace audio
