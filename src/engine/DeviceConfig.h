// Configuration of the sound system stand-in (not of the program), kept in
// devices.ini: which SoundFont the synthesiser loads, and where the engine
// is heard. kestrune-devices edits it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace audio {

/// The synthesiser's controls, as devices.ini's [Synth] section and the
/// command line give them. An empty value leaves FluidSynth's own default,
/// so that a file without them sounds as it always did.
struct SynthControls {
    std::string gain;          // Gain: FluidSynth's master gain, 0 to 10 (0.2)
    std::string reverb;        // Reverb: on or off
    std::string reverbLevel;   // ReverbLevel: 0 to 1 (0.9)
    std::string chorus;        // Chorus: on or off
    std::string chorusLevel;   // ChorusLevel: 0 to 10 (2)
    std::string polyphony;     // Polyphony: voices at once, 1 to 65535 (256)
    std::string interpolation; // Interpolation: none, linear, 4th or 7th (4th)
    // MoreSoundFonts: files separated by ";", stacked under SoundFont in
    // this order: a preset comes from the first file that holds it.
    std::string moreSoundFonts;
    // Settings: any FluidSynth settings, "name=value" separated by ";".
    std::string settings;
    // Not in devices.ini: the command line's --gain, in dB, on top of Gain.
    double gainDb = 0;
};

/// The SoundFonts stacked under the first, as `list` names them (";").
std::vector<std::string> soundFontList(const std::string &list);
/// The "name=value" pairs of a Settings value.
std::vector<std::pair<std::string, std::string>> synthSettingList(const std::string &list);

/// devices.ini, section by section.
struct DevicesConfig {
    // [Synth] SoundFont; empty: the default list.
    std::string soundFont;
    // [Synth] the synthesiser's controls.
    SynthControls synth;
    // [Output] Backend: auto, none, pulse or jack; Device: a sink, or JACK
    // ports "a,b" (empty: the default); Volume: the monitor's, in percent.
    std::string backend = "auto";
    std::string device;
    int volume = 100;
    // [Sequencer] Output: internal, jack or alsa; Port: a JACK MIDI port, or
    // an ALSA sequencer client:port.
    std::string sequencer = "internal";
    std::string port;
    // [WaveIn] Input: loopback, pulse or jack; Device: a pulse source, or
    // JACK capture ports "a,b"; Offset: the frames the calibration measured.
    std::string input = "loopback";
    std::string inputDevice;
    long offset = 0;

    /// Whether the sequencer plays an outside synthesiser, and whether the
    /// wave input records a real input rather than the synthesiser itself.
    bool outsideSynthesiser() const { return sequencer != "internal"; }
    bool realInput() const { return input != "loopback"; }
};

/// A key of devices.ini that takes one of a list of words: the one list
/// that the engine, kestrune-devices and every message about it use.
struct DevicesChoice {
    const char *section;
    const char *key;
    std::vector<std::string> values; // the first is the default
    /// Whether `value` is one of them.
    bool allows(const std::string &value) const;
    /// The values as a message lists them: "internal, jack and alsa".
    std::string listed() const;
    /// "[Sequencer] Output"
    std::string name() const;
};
/// [Output] Backend: auto, then the output table's backends (Output.cpp).
const DevicesChoice &outputChoice();
/// [Sequencer] Output: internal, jack, alsa.
const DevicesChoice &sequencerChoice();
/// [WaveIn] Input: loopback, pulse, jack.
const DevicesChoice &inputChoice();

/// Reads devices.ini (`file`, or the program's); missing keys keep their
/// defaults, and a volume that is no number from 0 to 100 reads as 100.
DevicesConfig readDevicesConfig();
DevicesConfig readDevicesConfig(const std::string &file);

/// Writes every key at once, keeping the rest of the file, atomically.
/// Returns false and sets `error` when the file cannot be written.
bool writeDevicesConfig(const std::string &file, const DevicesConfig &config, std::string &error);

/// The SoundFont to load: `chosen` when it is not empty, else `config`'s
/// [Synth] SoundFont, else the first existing file of the default list.
/// Empty when the one named is not a regular file, or there is none.
std::string findSoundFont(const std::string &chosen, const DevicesConfig &config);

/// What to tell a user for whom findSoundFont found nothing: the file named
/// and what it is (missing, or not a regular file), or how to install one.
std::string noSoundFontMessage(const std::string &chosen, const DevicesConfig &config);

} // namespace audio
