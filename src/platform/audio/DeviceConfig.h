// Configuration of the sound system stand-in (not of the program), kept in
// devices.ini: which SoundFont the synthesiser loads, and where the engine
// is heard. kestrune-devices edits it.
#pragma once

#include <string>

namespace audio {

/// devices.ini, section by section.
struct DevicesConfig {
    std::string soundFont;        // [Synth] SoundFont; empty: the default list
    std::string backend = "auto"; // [Output] Backend: auto, none, pulse or jack
    std::string device; // [Output] Device: a sink, or JACK ports "a,b"; empty: the default
    int volume = 100;   // [Output] Volume: the monitor's, in percent
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
