// A sound system's engine, made at the first need with its settings and
// stopped when the last holder lets go, and the notices its engines post.
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

} // namespace audio
