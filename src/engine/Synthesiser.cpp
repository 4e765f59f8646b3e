// FluidSynth behind the synthesiser interface the engine and sequencer use.
#include "engine/Synthesiser.h"

#include "engine/Engine.h"
#include "engine/MidiTarget.h"

#include <fluidsynth.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace audio {
namespace {

void quietLog(int, const char *, void *) {}

void silenceChatter() {
    // FluidSynth's informational chatter would go to the terminal of a desktop program.
    static const bool done = [] {
        fluid_set_log_function(FLUID_INFO, quietLog, nullptr);
        fluid_set_log_function(FLUID_DBG, quietLog, nullptr);
        fluid_set_log_function(FLUID_WARN, quietLog, nullptr);
        return true;
    }();
    (void)done;
}

} // namespace

// A SoundFont loaded once, by a synthesiser of its own that never plays;
// the synthesisers that play add it to theirs.
struct Synthesiser::SoundFont {
    fluid_settings_t *settings = nullptr;
    fluid_synth_t *loader = nullptr;
    std::vector<fluid_sfont_t *> sfonts; // the top of the stack first
    int sampleRate = kSampleRate;        // of every synthesiser that plays it
    ~SoundFont() {
        if (loader)
            delete_fluid_synth(loader); // frees the SoundFont
        if (settings)
            delete_fluid_settings(settings);
    }
};

namespace {

fluid_settings_t *newSettings(int sampleRate = kSampleRate) {
    fluid_settings_t *settings = new_fluid_settings();
    if (settings) {
        fluid_settings_setnum(settings, "synth.sample-rate", sampleRate);
        // Every call comes from one thread at a time (under the engine lock).
        fluid_settings_setint(settings, "synth.threadsafe-api", 0);
    }
    return settings;
}

bool number(const std::string &text, double least, double most, double &value) {
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= least && value <= most;
}

bool onOff(const std::string &text, int &value) {
    if (text == "on" || text == "1" || text == "yes")
        value = 1;
    else if (text == "off" || text == "0" || text == "no")
        value = 0;
    else
        return false;
    return true;
}

// One FluidSynth setting by its name, as its type reads the value.
std::string setSetting(fluid_settings_t *settings, const std::string &name,
                       const std::string &value) {
    const std::string named = "the FluidSynth setting " + name + "=" + value;
    switch (fluid_settings_get_type(settings, name.c_str())) {
    case FLUID_NUM_TYPE: {
        char *end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' ||
            fluid_settings_setnum(settings, name.c_str(), v) != FLUID_OK)
            return named + " is not a number it takes";
        return {};
    }
    case FLUID_INT_TYPE: {
        char *end = nullptr;
        const long v = std::strtol(value.c_str(), &end, 10);
        int flag = 0;
        if (onOff(value, flag) && fluid_settings_setint(settings, name.c_str(), flag) == FLUID_OK)
            return {};
        if (value.empty() || *end != '\0' ||
            fluid_settings_setint(settings, name.c_str(), int(v)) != FLUID_OK)
            return named + " is not a whole number it takes";
        return {};
    }
    case FLUID_STR_TYPE:
        if (fluid_settings_setstr(settings, name.c_str(), value.c_str()) != FLUID_OK)
            return named + " is not a value it takes";
        return {};
    default:
        return "FluidSynth has no setting " + name;
    }
}

// The controls, on settings not yet given to a synthesiser. Empty when all
// were taken, else what is wrong with the first that was not.
std::string applyControls(fluid_settings_t *settings, const SynthControls &c) {
    double value = 0;
    int flag = 0;
    if (!c.gain.empty() || c.gainDb != 0) {
        double gain = 0.2; // FluidSynth's own
        if (!c.gain.empty() && !number(c.gain, 0, 10, gain))
            return "the synthesiser's Gain " + c.gain + " is not a number from 0 to 10";
        gain *= std::pow(10.0, c.gainDb / 20.0);
        if (gain > 10)
            return "a gain of " + std::to_string(c.gainDb) + " dB passes the synthesiser's 10";
        fluid_settings_setnum(settings, "synth.gain", gain);
    }
    if (!c.reverb.empty()) {
        if (!onOff(c.reverb, flag))
            return "the synthesiser's Reverb " + c.reverb + " is not on or off";
        fluid_settings_setint(settings, "synth.reverb.active", flag);
    }
    if (!c.reverbLevel.empty()) {
        if (!number(c.reverbLevel, 0, 1, value))
            return "the synthesiser's ReverbLevel " + c.reverbLevel +
                   " is not a number from 0 to 1";
        fluid_settings_setnum(settings, "synth.reverb.level", value);
    }
    if (!c.chorus.empty()) {
        if (!onOff(c.chorus, flag))
            return "the synthesiser's Chorus " + c.chorus + " is not on or off";
        fluid_settings_setint(settings, "synth.chorus.active", flag);
    }
    if (!c.chorusLevel.empty()) {
        if (!number(c.chorusLevel, 0, 10, value))
            return "the synthesiser's ChorusLevel " + c.chorusLevel +
                   " is not a number from 0 to 10";
        fluid_settings_setnum(settings, "synth.chorus.level", value);
    }
    if (!c.polyphony.empty()) {
        if (!number(c.polyphony, 1, 65535, value) || value != std::floor(value))
            return "the synthesiser's Polyphony " + c.polyphony +
                   " is not a whole number from 1 to 65535";
        fluid_settings_setint(settings, "synth.polyphony", int(value));
    }
    if (!c.interpolation.empty() && c.interpolation != "none" && c.interpolation != "linear" &&
        c.interpolation != "4th" && c.interpolation != "7th")
        return "the synthesiser's Interpolation " + c.interpolation +
               " is not none, linear, 4th or 7th";
    for (const auto &[name, setting] : synthSettingList(c.settings)) {
        const std::string problem = setSetting(settings, name, setting);
        if (!problem.empty())
            return problem;
    }
    return {};
}

int interpolationOf(const std::string &name) {
    if (name == "none")
        return FLUID_INTERP_NONE;
    if (name == "linear")
        return FLUID_INTERP_LINEAR;
    if (name == "7th")
        return FLUID_INTERP_7THORDER;
    return FLUID_INTERP_4THORDER;
}

} // namespace

std::string Synthesiser::controlsProblem(const SynthControls &controls) {
    fluid_settings_t *settings = newSettings();
    if (!settings)
        return "The synthesiser could not be started";
    const std::string problem = applyControls(settings, controls);
    delete_fluid_settings(settings);
    return problem;
}

std::unique_ptr<Synthesiser> Synthesiser::create(const std::vector<std::string> &soundFonts,
                                                 const SynthControls &controls, std::string &error,
                                                 int sampleRate, const SynthLayout &layout) {
    silenceChatter();
    auto bank = std::make_shared<SoundFont>();
    bank->sampleRate = sampleRate;
    bank->settings = newSettings(sampleRate);
    bank->loader = bank->settings ? new_fluid_synth(bank->settings) : nullptr;
    if (!bank->loader) {
        error = "The synthesiser could not be started";
        return nullptr;
    }
    for (const std::string &soundFont : soundFonts) {
        const int id = fluid_synth_sfload(bank->loader, soundFont.c_str(), 1);
        if (id == FLUID_FAILED) {
            error = "The SoundFont " + soundFont + " could not be loaded";
            return nullptr;
        }
        bank->sfonts.push_back(fluid_synth_get_sfont_by_id(bank->loader, id));
    }
    std::unique_ptr<Synthesiser> s(new Synthesiser(std::move(bank), controls, layout));
    if (!s->start(error))
        return nullptr;
    return s;
}

std::unique_ptr<Synthesiser> Synthesiser::renewed(std::string &error) const {
    return renewed(error, layout_);
}

std::unique_ptr<Synthesiser> Synthesiser::renewed(std::string &error,
                                                  const SynthLayout &layout) const {
    std::unique_ptr<Synthesiser> s(new Synthesiser(soundFont_, controls_, layout));
    if (!s->start(error))
        return nullptr;
    return s;
}

Synthesiser::Synthesiser(std::shared_ptr<SoundFont> soundFont, SynthControls controls,
                         SynthLayout layout)
    : soundFont_(std::move(soundFont)), controls_(std::move(controls)), layout_(layout),
      held_(std::size_t(layout.channels)), silent_(std::size_t(layout.channels)) {}

bool Synthesiser::hasPreset(int bank, int program) const {
    for (fluid_sfont_t *sfont : soundFont_->sfonts)
        if (fluid_sfont_get_preset(sfont, bank, program))
            return true;
    return false;
}

bool Synthesiser::start(std::string &error) {
    settings_ = newSettings(soundFont_->sampleRate);
    if (!settings_) {
        error = "The synthesiser could not be started";
        return false;
    }
    const std::string problem = applyControls(settings_, controls_);
    if (!problem.empty()) {
        error = "The synthesiser could not be started: " + problem;
        return false;
    }
    if (layout_.channels != 16)
        fluid_settings_setint(settings_, "synth.midi-channels", layout_.channels);
    if (layout_.stems) {
        // A stereo output and an effects unit (reverb and chorus) for each
        // channel: a voice on channel c goes to output c and unit c.
        fluid_settings_setint(settings_, "synth.audio-groups", layout_.channels);
        fluid_settings_setint(settings_, "synth.audio-channels", layout_.channels);
        fluid_settings_setint(settings_, "synth.effects-groups",
                              layout_.dry ? 1 : layout_.channels);
    }
    synth_ = new_fluid_synth(settings_);
    if (!synth_) {
        error = "The synthesiser could not be started";
        return false;
    }
    // The last SoundFont added is the top of FluidSynth's stack.
    for (auto it = soundFont_->sfonts.rbegin(); it != soundFont_->sfonts.rend(); ++it)
        if (fluid_synth_add_sfont(synth_, *it) == FLUID_FAILED) {
            error = "The synthesiser could not be started";
            return false;
        }
    if (!controls_.interpolation.empty())
        fluid_synth_set_interp_method(synth_, -1, interpolationOf(controls_.interpolation));
    markDrums();
    if (layout_.stems) {
        const std::size_t channels = std::size_t(layout_.channels);
        stems_.assign(2 * std::size_t(stemCount()) * kMostFrames, 0.0f);
        for (std::size_t c = 0; c < 2 * channels; ++c)
            dry_.push_back(&stems_[c * kMostFrames]);
        const std::size_t effects = std::size_t(fluid_synth_count_effects_channels(synth_));
        if (layout_.dry) {
            // The one unit's reverb, then its chorus, each a stem after the channels.
            for (std::size_t e = 0; e < effects; ++e) {
                fx_.push_back(&stems_[(2 * (channels + e)) * kMostFrames]);
                fx_.push_back(&stems_[(2 * (channels + e) + 1) * kMostFrames]);
            }
        } else {
            // Each unit's reverb, then its chorus, into its channel's own output.
            for (std::size_t c = 0; c < channels; ++c)
                for (std::size_t e = 0; e < effects; ++e) {
                    fx_.push_back(dry_[2 * c]);
                    fx_.push_back(dry_[2 * c + 1]);
                }
        }
    }
    return true;
}

void Synthesiser::markDrums() {
    // FluidSynth plays drums on channel 10 only: the tenth of every other
    // port is a drum channel too, on the drum bank's first kit.
    for (int channel = 16 + 9; channel < layout_.channels; channel += 16) {
        fluid_synth_set_channel_type(synth_, channel, CHANNEL_TYPE_DRUM);
        fluid_synth_bank_select(synth_, channel, 128);
        fluid_synth_program_change(synth_, channel, 0);
    }
}

void Synthesiser::holdProgram(int channel, int program, int bank) {
    held_[std::size_t(channel)] = Held{program, bank};
    applyHeld(channel);
}

void Synthesiser::applyHeld(int channel) {
    const Held &held = held_[std::size_t(channel)];
    if (held.program < 0)
        return;
    if (held.bank >= 0)
        fluid_synth_bank_select(synth_, channel, unsigned(held.bank));
    fluid_synth_program_change(synth_, channel, held.program);
}

void Synthesiser::silence(int channel, bool silent) {
    silent_[std::size_t(channel)] = silent;
}

void Synthesiser::restEffects(const std::vector<bool> &sounds) {
    if (!layout_.stems || layout_.dry) // one unit for every channel
        return;
    for (int channel = 0; channel < layout_.channels; ++channel)
        if (std::size_t(channel) >= sounds.size() || !sounds[std::size_t(channel)] ||
            silent_[std::size_t(channel)]) {
            fluid_synth_reverb_on(synth_, channel, 0);
            fluid_synth_chorus_on(synth_, channel, 0);
        }
}

Synthesiser::~Synthesiser() {
    if (synth_) {
        // The SoundFont is the loader's to free, not this synthesiser's.
        fluid_synth_all_sounds_off(synth_, -1);
        for (fluid_sfont_t *sfont : soundFont_->sfonts)
            fluid_synth_remove_sfont(synth_, sfont);
        delete_fluid_synth(synth_);
    }
    if (settings_)
        delete_fluid_settings(settings_);
}

void Synthesiser::reset() {
    // A system reset alone brings back voices that are still sounding
    // (FluidSynth 2.3 queues their end behind it): end them first, let one
    // block carry that out, then reset channels and controllers.
    fluid_synth_all_sounds_off(synth_, -1);
    float scratch[2 * kBlockFrames];
    fluid_synth_write_float(synth_, kBlockFrames, scratch, 0, 2, scratch, 1, 2);
    fluid_synth_system_reset(synth_);
    afterReset();
}

void Synthesiser::afterReset() {
    markDrums();
    for (int channel = 0; channel < layout_.channels; ++channel)
        applyHeld(channel);
}

void Synthesiser::allNotesOff() {
    for (int channel = 0; channel < layout_.channels; ++channel) {
        fluid_synth_cc(synth_, channel, 64, 0);
        fluid_synth_all_notes_off(synth_, channel);
    }
}

void Synthesiser::send(const MidiEvent &e, const std::uint8_t *sysex) {
    const int channel = (16 * e.port + (e.status & 0x0F)) % layout_.channels;
    const Held &held = held_[std::size_t(channel)];
    switch (e.status & 0xF0) {
    case 0x80:
        fluid_synth_noteoff(synth_, channel, e.data1);
        break;
    case 0x90:
        if (e.data2 == 0)
            fluid_synth_noteoff(synth_, channel, e.data1);
        else if (!silent_[std::size_t(channel)])
            fluid_synth_noteon(synth_, channel, e.data1, e.data2);
        break;
    case 0xA0:
        fluid_synth_key_pressure(synth_, channel, e.data1, e.data2);
        break;
    case 0xB0:
        // A held channel's bank stays as it was held.
        if (held.program < 0 || (e.data1 != 0 && e.data1 != 32))
            fluid_synth_cc(synth_, channel, e.data1, e.data2);
        break;
    case 0xC0:
        if (held.program < 0)
            fluid_synth_program_change(synth_, channel, e.data1);
        break;
    case 0xD0:
        fluid_synth_channel_pressure(synth_, channel, e.data1);
        break;
    case 0xE0:
        fluid_synth_pitch_bend(synth_, channel, e.data1 | (e.data2 << 7));
        break;
    case 0xF0:
        if (e.status == 0xF0 && sysex) {
            fluid_synth_sysex(synth_, reinterpret_cast<const char *>(sysex + e.sysexOffset),
                              static_cast<int>(e.sysexLength), nullptr, nullptr, nullptr, 0);
            // A system reset among them gives every channel its own again.
            afterReset();
        }
        break;
    default:
        break;
    }
}

void Synthesiser::render(float *interleaved, int frames, float *stems, std::size_t stride) {
    if (!layout_.stems) {
        fluid_synth_write_float(synth_, frames, interleaved, 0, 2, interleaved, 1, 2);
        return;
    }
    // FluidSynth adds into the buffers: the frames it renders start at zero.
    for (std::size_t at = 0; at < stems_.size(); at += kMostFrames)
        std::fill_n(stems_.begin() + std::ptrdiff_t(at), frames, 0.0f);
    fluid_synth_process(synth_, frames, int(fx_.size()), fx_.data(), int(dry_.size()), dry_.data());
    // Each stem interleaved, and the mix as the stems' sum, added in their order.
    const std::size_t samples = 2 * std::size_t(frames);
    std::fill(interleaved, interleaved + samples, 0.0f);
    for (int c = 0; c < stemCount(); ++c) {
        const float *__restrict left = &stems_[std::size_t(2 * c) * kMostFrames];
        const float *__restrict right = left + kMostFrames;
        float *__restrict stem = stems + std::size_t(c) * stride;
        for (int i = 0; i < frames; ++i) {
            stem[2 * i] = left[i];
            stem[2 * i + 1] = right[i];
        }
        float *__restrict mix = interleaved;
        for (std::size_t i = 0; i < samples; ++i)
            mix[i] += stem[i];
    }
}

} // namespace audio

namespace audio {

void InternalMidi::send(const MidiEvent &event, std::int64_t, const std::uint8_t *sysex) {
    synth_.send(event, sysex);
}

void InternalMidi::allNotesOff(std::int64_t) {
    synth_.allNotesOff();
}

void InternalMidi::reset(std::int64_t) {
    synth_.reset();
}

int channelMessageBytes(const MidiEvent &event, std::uint8_t bytes[3]) {
    bytes[0] = event.status;
    bytes[1] = event.data1;
    bytes[2] = event.data2;
    const int kind = event.status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
}

} // namespace audio
