// The MIDI synthesiser: FluidSynth with a General MIDI SoundFont, fed one
// MIDI event at a time and rendered by the engine in 64-frame blocks.
#pragma once

#include "engine/DeviceConfig.h"
#include "engine/Engine.h"
#include "engine/MidiFile.h"

#include <memory>
#include <string>

typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;

namespace audio {

class Synthesiser {
public:
    /// Loads `soundFonts`, stacked: a preset comes from the first that holds
    /// it. The synthesiser plays with `controls`. Returns null and sets
    /// `error` when that fails.
    /// It renders `sampleRate` frames a second (kMinSampleRate to kMaxSampleRate).
    static std::unique_ptr<Synthesiser> create(const std::vector<std::string> &soundFonts,
                                               const SynthControls &controls, std::string &error,
                                               int sampleRate = kSampleRate);
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
    /// Renders `frames` frames of interleaved stereo float samples.
    void render(float *interleaved, int frames);

    /// The synthesiser's block size: an event takes effect at a block boundary.
    static constexpr int kBlockFrames = 64;

private:
    struct SoundFont;
    Synthesiser(std::shared_ptr<SoundFont> soundFont, SynthControls controls);
    bool start(std::string &error);

    std::shared_ptr<SoundFont> soundFont_; // loaded once, shared by renewed ones
    SynthControls controls_;
    fluid_settings_t *settings_ = nullptr;
    fluid_synth_t *synth_ = nullptr;
};

} // namespace audio
