// The options of the recording screen and the window's place, as the
// settings file holds them: one plain struct that the window fills from its
// controls and kestrune-render from its command line.
#pragma once

#include "settings/Title.h"

#include <cstdint>
#include <string>

class TIniFile;

struct Options {
    std::int32_t quality = 0;               // "Recording Quality": format index, -1 for none
    bool delay = false;                     // "Recording Delay"
    std::int32_t delaySeconds = 2;          // "Recording Delay Time"
    bool preferDirectory = false;           // "Preferences WAVE File Directory"
    std::string directory;                  // "WAVE File Directory", with its trailing "/"
    bool qualityInName = false;             // "Put Quality Information on WAVE File Name"
    bool encode = false;                    // "MPEG1 Audio Layer III Encode"
    std::string encoder;                    // "MPEG1 Audio Layer III Encoder Directory"
    std::int32_t top = -1000, left = -1000; // "Main Position Top", "Main Position Left"
};

/// The section of the settings file: the program's title.
inline constexpr const char *kSettingsSection = kProgramTitle;

/// Reads the ten keys in the order they stand in the file, each with its
/// default when it is missing or not readable. Never fails.
Options ReadOptions(const TIniFile &file);

/// Writes the ten keys in the order they stand in the file. A key that
/// cannot be written raises EIniFileException; the keys before it stay
/// written and the rest are skipped.
void WriteOptions(const TIniFile &file, const Options &options);
