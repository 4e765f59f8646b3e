// FluidSynth behind the synthesiser interface the engine and sequencer use.
#include "platform/audio/Synthesiser.h"

#include "platform/audio/Engine.h"
#include "platform/audio/MidiTarget.h"

#include <fluidsynth.h>

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
    fluid_sfont_t *sfont = nullptr;
    ~SoundFont() {
        if (loader)
            delete_fluid_synth(loader); // frees the SoundFont
        if (settings)
            delete_fluid_settings(settings);
    }
};

namespace {

fluid_settings_t *newSettings() {
    fluid_settings_t *settings = new_fluid_settings();
    if (settings) {
        fluid_settings_setnum(settings, "synth.sample-rate", kSampleRate);
        // Every call comes from one thread at a time (under the engine lock).
        fluid_settings_setint(settings, "synth.threadsafe-api", 0);
    }
    return settings;
}

} // namespace

std::unique_ptr<Synthesiser> Synthesiser::create(const std::string &soundFont, std::string &error) {
    silenceChatter();
    auto bank = std::make_shared<SoundFont>();
    bank->settings = newSettings();
    bank->loader = bank->settings ? new_fluid_synth(bank->settings) : nullptr;
    if (!bank->loader) {
        error = "The synthesiser could not be started";
        return nullptr;
    }
    const int id = fluid_synth_sfload(bank->loader, soundFont.c_str(), 1);
    if (id == FLUID_FAILED) {
        error = "The SoundFont " + soundFont + " could not be loaded";
        return nullptr;
    }
    bank->sfont = fluid_synth_get_sfont_by_id(bank->loader, id);
    std::unique_ptr<Synthesiser> s(new Synthesiser(std::move(bank)));
    if (!s->start(error))
        return nullptr;
    return s;
}

std::unique_ptr<Synthesiser> Synthesiser::renewed(std::string &error) const {
    std::unique_ptr<Synthesiser> s(new Synthesiser(soundFont_));
    if (!s->start(error))
        return nullptr;
    return s;
}

Synthesiser::Synthesiser(std::shared_ptr<SoundFont> soundFont) : soundFont_(std::move(soundFont)) {}

bool Synthesiser::start(std::string &error) {
    settings_ = newSettings();
    synth_ = settings_ ? new_fluid_synth(settings_) : nullptr;
    if (!synth_ || fluid_synth_add_sfont(synth_, soundFont_->sfont) == FLUID_FAILED) {
        error = "The synthesiser could not be started";
        return false;
    }
    return true;
}

Synthesiser::~Synthesiser() {
    if (synth_) {
        // The SoundFont is the loader's to free, not this synthesiser's.
        fluid_synth_all_sounds_off(synth_, -1);
        fluid_synth_remove_sfont(synth_, soundFont_->sfont);
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
}

void Synthesiser::allNotesOff() {
    for (int channel = 0; channel < 16; ++channel) {
        fluid_synth_cc(synth_, channel, 64, 0);
        fluid_synth_all_notes_off(synth_, channel);
    }
}

void Synthesiser::send(const MidiEvent &e, const std::uint8_t *sysex) {
    const int channel = e.status & 0x0F;
    switch (e.status & 0xF0) {
    case 0x80:
        fluid_synth_noteoff(synth_, channel, e.data1);
        break;
    case 0x90:
        if (e.data2 == 0)
            fluid_synth_noteoff(synth_, channel, e.data1);
        else
            fluid_synth_noteon(synth_, channel, e.data1, e.data2);
        break;
    case 0xA0:
        fluid_synth_key_pressure(synth_, channel, e.data1, e.data2);
        break;
    case 0xB0:
        fluid_synth_cc(synth_, channel, e.data1, e.data2);
        break;
    case 0xC0:
        fluid_synth_program_change(synth_, channel, e.data1);
        break;
    case 0xD0:
        fluid_synth_channel_pressure(synth_, channel, e.data1);
        break;
    case 0xE0:
        fluid_synth_pitch_bend(synth_, channel, e.data1 | (e.data2 << 7));
        break;
    case 0xF0:
        if (e.status == 0xF0 && sysex)
            fluid_synth_sysex(synth_, reinterpret_cast<const char *>(sysex + e.sysexOffset),
                              static_cast<int>(e.sysexLength), nullptr, nullptr, nullptr, 0);
        break;
    default:
        break;
    }
}

void Synthesiser::render(float *interleaved, int frames) {
    fluid_synth_write_float(synth_, frames, interleaved, 0, 2, interleaved, 1, 2);
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
