// devices.ini reading and the default SoundFont search list.
#include "platform/audio/DeviceConfig.h"

#include "platform/profile/Profile.h"

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

// [Synth] SoundFont, read by the same rules as every profile file.
std::string configuredSoundFont() {
    const std::string file = executableDirectory() + "devices.ini";
    char buffer[4096];
    const unsigned n = profile::getPrivateProfileString("Synth", "SoundFont", "", buffer,
                                                        sizeof buffer, file.c_str());
    return std::string(buffer, n);
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
