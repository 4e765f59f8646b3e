// devices.ini reading and writing, and the default SoundFont search list.
#include "platform/audio/DeviceConfig.h"

#include "platform/Paths.h"
#include "platform/profile/Profile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

std::mutex g_chosenMutex;
std::string g_chosen; // named for this process

} // namespace

DevicesConfig readDevicesConfig() {
    return readDevicesConfig(paths::devicesFile());
}

DevicesConfig readDevicesConfig(const std::string &file) {
    DevicesConfig config;
    config.soundFont = read(file, "Synth", "SoundFont");
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
    config.sequencer = read(file, "Sequencer", "Output", "internal");
    if (config.sequencer.empty())
        config.sequencer = "internal";
    config.port = read(file, "Sequencer", "Port");
    config.input = read(file, "WaveIn", "Input", "loopback");
    if (config.input.empty())
        config.input = "loopback";
    config.inputDevice = read(file, "WaveIn", "Device");
    const std::string offset = read(file, "WaveIn", "Offset", "0");
    const long frames = std::strtol(offset.c_str(), &end, 10);
    // Ten seconds either way is already absurd for a sound card's delay.
    config.offset = !offset.empty() && *end == '\0' && std::labs(frames) <= 441000 ? frames : 0;
    return config;
}

bool writeDevicesConfig(const std::string &file, const DevicesConfig &config, std::string &error) {
    if (!profile::writeProfileStrings({{"Synth", "SoundFont", config.soundFont},
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

void setSoundFont(const std::string &file) {
    std::lock_guard<std::mutex> guard(g_chosenMutex);
    g_chosen = file;
}

std::string findSoundFont() {
    {
        std::lock_guard<std::mutex> guard(g_chosenMutex);
        if (!g_chosen.empty())
            return paths::isFile(g_chosen) ? g_chosen : std::string();
    }
    const std::string configured = readDevicesConfig().soundFont;
    if (!configured.empty())
        return paths::isFile(configured) ? configured : std::string();
    for (const char *candidate : kDefaultSoundFonts)
        if (paths::isFile(candidate))
            return candidate;
    return {};
}

std::string noSoundFontMessage() {
    {
        std::lock_guard<std::mutex> guard(g_chosenMutex);
        if (!g_chosen.empty())
            return "The SoundFont " + g_chosen + " does not exist";
    }
    const std::string configured = readDevicesConfig().soundFont;
    if (!configured.empty())
        return "The SoundFont " + configured + " named in " + paths::devicesFile() +
               " does not exist";
    return "No General MIDI SoundFont is installed. Install one (for example: sudo apt-get "
           "install timgm6mb-soundfont) or name one in " +
           paths::devicesFile() + " under [Synth] SoundFont=";
}

} // namespace audio
