// The table of the settings file's ten keys, walked by both the load and the
// store pass so that they never disagree.
#include "settings/Options.h"

#include "settings/IniFiles.h"

#include <array>
#include <variant>

namespace {

struct Key {
    const char *name;
    // Integers and booleans are numbers in the file; strings are kept as they are.
    std::variant<std::int32_t Options::*, bool Options::*, std::string Options::*> field;
    std::int32_t defaultValue;
};

// The keys in the order they stand in the file.
const std::array<Key, 10> kKeys = {{
    {"Recording Quality", &Options::quality, 0},
    {"Recording Delay", &Options::delay, 0},
    {"Recording Delay Time", &Options::delaySeconds, 2},
    {"Preferences WAVE File Directory", &Options::preferDirectory, 0},
    {"WAVE File Directory", &Options::directory, 0},
    {"Put Quality Information on WAVE File Name", &Options::qualityInName, 0},
    {"MPEG1 Audio Layer III Encode", &Options::encode, 0},
    {"MPEG1 Audio Layer III Encoder Directory", &Options::encoder, 0},
    {"Main Position Top", &Options::top, -1000},
    {"Main Position Left", &Options::left, -1000},
}};

template <class... F> struct Visit : F... { using F::operator()...; };
template <class... F> Visit(F...) -> Visit<F...>;

} // namespace

Options ReadOptions(const TIniFile &file) {
    Options options;
    for (const Key &key : kKeys)
        std::visit(Visit{[&](std::int32_t Options::*f) {
                             options.*f =
                                 file.ReadInteger(kSettingsSection, key.name, key.defaultValue);
                         },
                         [&](bool Options::*f) {
                             options.*f =
                                 file.ReadBool(kSettingsSection, key.name, key.defaultValue != 0);
                         },
                         [&](std::string Options::*f) {
                             options.*f = file.ReadString(kSettingsSection, key.name, "");
                         }},
                   key.field);
    return options;
}

void WriteOptions(const TIniFile &file, const Options &options) {
    for (const Key &key : kKeys)
        std::visit(
            Visit{[&](std::int32_t Options::*f) {
                      file.WriteInteger(kSettingsSection, key.name, options.*f);
                  },
                  [&](bool Options::*f) { file.WriteBool(kSettingsSection, key.name, options.*f); },
                  [&](std::string Options::*f) {
                      file.WriteString(kSettingsSection, key.name, options.*f);
                  }},
            key.field);
}
