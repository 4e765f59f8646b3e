// Configuration of the sound system stand-in (not of the program): which
// SoundFont the synthesiser loads, from devices.ini beside the executable.
#pragma once

#include <string>

namespace audio {

/// The folder of the running executable, with a trailing "/".
std::string executableDirectory();

/// The SoundFont to load: [Synth] SoundFont in devices.ini beside the
/// executable, else the first existing file of the default list. Empty when
/// there is none.
std::string findSoundFont();

/// What to tell a user who has no SoundFont.
std::string noSoundFontMessage();

} // namespace audio
