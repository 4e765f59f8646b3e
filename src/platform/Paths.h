// Where the program's own files live: the settings file, the sound system's
// devices.ini and the recording templates, beside the executable.
#pragma once

#include <string>

namespace paths {

/// The folder of the running executable, with a trailing "/".
std::string programFolder();

/// The settings file, "Kestrune.ini".
std::string settingsFile();

/// The sound system's own configuration, "devices.ini".
std::string devicesFile();

/// The folder of the recording templates, "binlib/", with a trailing "/".
std::string templateFolder();

} // namespace paths
