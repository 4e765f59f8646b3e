// devices.ini reading and writing, and the default SoundFont search list.
#include "engine/DeviceConfig.h"

#include "platform/Paths.h"
#include "platform/profile/Profile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace audio {
namespace {

const char *const kDefaultSoundFonts[] = {
    "/usr/share/sounds/sf2/default-GM.sf2",
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf3/default-GM.sf3",
};

// A key read by the same rules as every profile file.
std::string read(const std::string &file, const char *section, const char *key,
                 const char *defaultValue = "") {
    char buffer[4096];
    const unsigned n = profile::getPrivateProfileString(section, key, defaultValue, buffer,
                                                        sizeof buffer, file.c_str());
    return std::string(buffer, n);
}

// What a SoundFont's path names, when it is not a regular file.
std::string whatItIs(const std::string &file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return "does not exist";
    if (S_ISDIR(st.st_mode))
        return "is a folder, not a regular file";
    return "is not a regular file";
}

} // namespace

bool DevicesChoice::allows(const std::string &value) const {
    for (const std::string &v : values)
        if (v == value)
            return true;
    return false;
}

std::string DevicesChoice::listed() const {
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            text += i + 1 == values.size() ? " and " : ", ";
        text += values[i];
    }
    return text;
}

std::string DevicesChoice::name() const {
    return std::string("[") + section + "] " + key;
}

const DevicesChoice &sequencerChoice() {
    static const DevicesChoice choice{"Sequencer", "Output", {"internal", "jack", "alsa"}};
    return choice;
}

const DevicesChoice &inputChoice() {
    static const DevicesChoice choice{"WaveIn", "Input", {"loopback", "pulse", "jack"}};
    return choice;
}

DevicesConfig readDevicesConfig() {
    return readDevicesConfig(paths::devicesFile());
}

DevicesConfig readDevicesConfig(const std::string &file) {
    DevicesConfig config;
    config.soundFont = read(file, "Synth", "SoundFont");
    SynthControls &synth = config.synth;
    synth.gain = read(file, "Synth", "Gain");
    synth.reverb = read(file, "Synth", "Reverb");
    synth.reverbLevel = read(file, "Synth", "ReverbLevel");
    synth.chorus = read(file, "Synth", "Chorus");
    synth.chorusLevel = read(file, "Synth", "ChorusLevel");
    synth.polyphony = read(file, "Synth", "Polyphony");
    synth.interpolation = read(file, "Synth", "Interpolation");
    synth.moreSoundFonts = read(file, "Synth", "MoreSoundFonts");
    synth.settings = read(file, "Synth", "Settings");
    config.backend = read(file, "Output", "Backend", "auto");
    if (config.backend.empty())
        config.backend = "auto";
    config.device = read(file, "Output", "Device");
    const std::string volume = read(file, "Output", "Volume", "100");
    char *end = nullptr;
    const long percent = std::strtol(volume.c_str(), &end, 10);
    config.volume = !volume.empty() && *end == '\0' && percent >= 0 && percent <= 100
                        ? static_cast<int>(percent)
                        : 100;
    config.sequencer = read(file, "Sequencer", "Output", sequencerChoice().values[0].c_str());
    if (config.sequencer.empty())
        config.sequencer = sequencerChoice().values[0];
    config.port = read(file, "Sequencer", "Port");
    config.input = read(file, "WaveIn", "Input", inputChoice().values[0].c_str());
    if (config.input.empty())
        config.input = inputChoice().values[0];
    config.inputDevice = read(file, "WaveIn", "Device");
    const std::string offset = read(file, "WaveIn", "Offset", "0");
    const long frames = std::strtol(offset.c_str(), &end, 10);
    // Ten seconds either way is already absurd for a sound card's delay.
    config.offset = !offset.empty() && *end == '\0' && std::labs(frames) <= 441000 ? frames : 0;
    return config;
}

bool writeDevicesConfig(const std::string &file, const DevicesConfig &config, std::string &error) {
    const SynthControls &synth = config.synth;
    if (!profile::writeProfileStrings({{"Synth", "SoundFont", config.soundFont},
                                       {"Synth", "MoreSoundFonts", synth.moreSoundFonts},
                                       {"Synth", "Gain", synth.gain},
                                       {"Synth", "Reverb", synth.reverb},
                                       {"Synth", "ReverbLevel", synth.reverbLevel},
                                       {"Synth", "Chorus", synth.chorus},
                                       {"Synth", "ChorusLevel", synth.chorusLevel},
                                       {"Synth", "Polyphony", synth.polyphony},
                                       {"Synth", "Interpolation", synth.interpolation},
                                       {"Synth", "Settings", synth.settings},
                                       {"Output", "Backend", config.backend},
                                       {"Output", "Device", config.device},
                                       {"Output", "Volume", std::to_string(config.volume)},
                                       {"Sequencer", "Output", config.sequencer},
                                       {"Sequencer", "Port", config.port},
                                       {"WaveIn", "Input", config.input},
                                       {"WaveIn", "Device", config.inputDevice},
                                       {"WaveIn", "Offset", std::to_string(config.offset)}},
                                      file.c_str())) {
        error = file + " cannot be written: " + std::strerror(errno);
        return false;
    }
    return true;
}

namespace {

std::string trimmed(const std::string &text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> split(const std::string &list) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    while (from <= list.size()) {
        const auto semicolon = std::min(list.find(';', from), list.size());
        const std::string part = trimmed(list.substr(from, semicolon - from));
        if (!part.empty())
            parts.push_back(part);
        from = semicolon + 1;
    }
    return parts;
}

} // namespace

std::vector<std::string> soundFontList(const std::string &list) {
    return split(list);
}

std::vector<std::pair<std::string, std::string>> synthSettingList(const std::string &list) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string &part : split(list)) {
        const auto equals = part.find('=');
        pairs.emplace_back(trimmed(part.substr(0, equals)), equals == std::string::npos
                                                                ? std::string()
                                                                : trimmed(part.substr(equals + 1)));
    }
    return pairs;
}

std::string findSoundFont(const std::string &chosen, const DevicesConfig &config) {
    const std::string &named = chosen.empty() ? config.soundFont : chosen;
    if (!named.empty())
        return paths::isFile(named) ? named : std::string();
    for (const char *candidate : kDefaultSoundFonts)
        if (paths::isFile(candidate))
            return candidate;
    return {};
}

std::string noSoundFontMessage(const std::string &chosen, const DevicesConfig &config) {
    if (!chosen.empty())
        return "The SoundFont " + chosen + " " + whatItIs(chosen);
    if (!config.soundFont.empty())
        return "The SoundFont " + config.soundFont + " named in " + paths::devicesFile() + " " +
               whatItIs(config.soundFont);
    return "No General MIDI SoundFont is installed. Install one (for example: sudo apt-get "
           "install timgm6mb-soundfont) or name one in " +
           paths::devicesFile() + " under [Synth] SoundFont=";
}

} // namespace audio
