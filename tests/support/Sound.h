// The sound system a test's devices use: a driven one, installed for as
// long as the object lives, then the one before it again.
#pragma once

#include "engine/SoundSystem.h"

#include <memory>
#include <string>

namespace test {

class DrivenSound {
public:
    explicit DrivenSound(const std::string &soundFont = {}) {
        audio::EngineSettings settings;
        settings.clock = audio::Engine::Clock::Driven;
        settings.devices = audio::readDevicesConfig();
        settings.soundFont = soundFont;
        previous_ = audio::SoundSystem::install(std::make_shared<audio::SoundSystem>(settings));
    }
    ~DrivenSound() { audio::SoundSystem::install(previous_); }
    DrivenSound(const DrivenSound &) = delete;
    DrivenSound &operator=(const DrivenSound &) = delete;

private:
    std::shared_ptr<audio::SoundSystem> previous_;
};

} // namespace test
