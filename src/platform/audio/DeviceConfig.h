// Configuration of the sound system stand-in (not of the program): which
// SoundFont the synthesiser loads, from devices.ini beside the executable.
#pragma once

#include <string>

namespace audio {

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
