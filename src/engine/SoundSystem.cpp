// The program's sound system: its engine, made at the first need with the
// program's settings, and the notices its engines post.
#include "engine/SoundSystem.h"

#include <utility>

namespace audio {

void SoundNotices::post(const std::string &text) {
    std::lock_guard<std::mutex> guard(mutex_);
    notices_.push_back(text);
}

void SoundNotices::postOnce(const std::string &text) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (told_.insert(text).second)
        notices_.push_back(text);
}

std::vector<std::string> SoundNotices::take() {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::exchange(notices_, {});
}

namespace {

// The sound system the devices of the media control interface use. The
// interface is one per process, as the platform's is; what stands behind it
// is the program's to choose.
std::mutex g_currentMutex;
std::shared_ptr<SoundSystem> g_current;

} // namespace

SoundSystem::SoundSystem() : followsDevicesFile_(true) {}

SoundSystem::SoundSystem(EngineSettings settings) : settings_(std::move(settings)) {}

EngineSettings SoundSystem::settings() const {
    if (!followsDevicesFile_)
        return settings_;
    EngineSettings settings;
    settings.devices = readDevicesConfig();
    return settings;
}

std::shared_ptr<Engine> SoundSystem::acquire() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::shared_ptr<Engine> engine = engine_.lock();
    if (!engine) {
        engine = std::make_shared<Engine>(settings(), notices_);
        engine_ = engine;
    }
    return engine;
}

SoundSystem &SoundSystem::current() {
    std::lock_guard<std::mutex> guard(g_currentMutex);
    if (!g_current)
        g_current = std::make_shared<SoundSystem>();
    return *g_current;
}

std::shared_ptr<SoundSystem> SoundSystem::install(std::shared_ptr<SoundSystem> system) {
    std::lock_guard<std::mutex> guard(g_currentMutex);
    return std::exchange(g_current, std::move(system));
}

} // namespace audio
