// devices.ini reading and the default SoundFont search list.
#include "platform/audio/DeviceConfig.h"

#include "platform/Paths.h"
#include "platform/profile/Profile.h"

#include <mutex>
#include <sys/stat.h>

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
    const std::string file = paths::devicesFile();
    char buffer[4096];
    const unsigned n = profile::getPrivateProfileString("Synth", "SoundFont", "", buffer,
                                                        sizeof buffer, file.c_str());
    return std::string(buffer, n);
}

std::mutex g_chosenMutex;
std::string g_chosen; // named for this process

} // namespace

void setSoundFont(const std::string &file) {
    std::lock_guard<std::mutex> guard(g_chosenMutex);
    g_chosen = file;
}

std::string findSoundFont() {
    {
        std::lock_guard<std::mutex> guard(g_chosenMutex);
        if (!g_chosen.empty())
            return isFile(g_chosen) ? g_chosen : std::string();
    }
    std::string configured = configuredSoundFont();
    if (!configured.empty())
        return isFile(configured) ? configured : std::string();
    for (const char *candidate : kDefaultSoundFonts)
        if (isFile(candidate))
            return candidate;
    return {};
}

std::string noSoundFontMessage() {
    {
        std::lock_guard<std::mutex> guard(g_chosenMutex);
        if (!g_chosen.empty())
            return "The SoundFont " + g_chosen + " does not exist";
    }
    std::string configured = configuredSoundFont();
    if (!configured.empty())
        return "The SoundFont " + configured + " named in " + paths::devicesFile() +
               " does not exist";
    return "No General MIDI SoundFont is installed. Install one (for example: sudo apt-get "
           "install timgm6mb-soundfont) or name one in " +
           paths::devicesFile() + " under [Synth] SoundFont=";
}

} // namespace audio
