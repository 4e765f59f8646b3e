// devices.ini reading and the default SoundFont search list.
#include "platform/audio/DeviceConfig.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace audio {
namespace {

const char *const kDefaultSoundFonts[] = {
    "/usr/share/sounds/sf2/default-GM.sf2",
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf3/default-GM.sf3",
};

bool isFile(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string trim(const std::string &s) {
    auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The value of [Synth] SoundFont, section and key matched ignoring case.
std::string configuredSoundFont() {
    std::ifstream in(executableDirectory() + "devices.ini");
    std::string line, section;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == ';')
            continue;
        if (line.front() == '[') {
            auto close = line.find(']');
            section =
                lower(trim(line.substr(1, close == std::string::npos ? line.npos : close - 1)));
            continue;
        }
        auto eq = line.find('=');
        if (section == "synth" && eq != std::string::npos &&
            lower(trim(line.substr(0, eq))) == "soundfont") {
            std::string value = trim(line.substr(eq + 1));
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return value;
        }
    }
    return {};
}

} // namespace

std::string executableDirectory() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return "./";
    std::string path(buffer, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

std::string findSoundFont() {
    std::string configured = configuredSoundFont();
    if (!configured.empty())
        return isFile(configured) ? configured : std::string();
    for (const char *candidate : kDefaultSoundFonts)
        if (isFile(candidate))
            return candidate;
    return {};
}

std::string noSoundFontMessage() {
    std::string configured = configuredSoundFont();
    if (!configured.empty())
        return "The SoundFont " + configured + " named in " + executableDirectory() +
               "devices.ini does not exist";
    return "No General MIDI SoundFont is installed. Install one (for example: sudo apt-get "
           "install timgm6mb-soundfont) or name one in " +
           executableDirectory() + "devices.ini under [Synth] SoundFont=";
}

} // namespace audio
