// Configuration of the sound system stand-in (not of the program), kept in
// devices.ini: which SoundFont the synthesiser loads, and where the engine
// is heard. kestrune-devices edits it.
#pragma once

#include <string>

namespace audio {

/// devices.ini, section by section.
struct DevicesConfig {
    // [Synth] SoundFont; empty: the default list.
    std::string soundFont;
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

/// Reads devices.ini (`file`, or the program's); missing keys keep their
/// defaults, and a volume that is no number from 0 to 100 reads as 100.
DevicesConfig readDevicesConfig();
DevicesConfig readDevicesConfig(const std::string &file);

/// Writes every key at once, keeping the rest of the file, atomically.
/// Returns false and sets `error` when the file cannot be written.
bool writeDevicesConfig(const std::string &file, const DevicesConfig &config, std::string &error);

/// The SoundFont to load: one named for this process (setSoundFont), else
/// [Synth] SoundFont in devices.ini, else the first existing file of the
/// default list. Empty when there is none.
std::string findSoundFont();

/// Names the SoundFont for this process, over devices.ini (kestrune-render's
/// --soundfont). Takes effect when the synthesiser is next loaded.
void setSoundFont(const std::string &file);

/// What to tell a user who has no SoundFont.
std::string noSoundFontMessage();

} // namespace audio
