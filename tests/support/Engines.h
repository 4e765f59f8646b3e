// Sound engines whose clock the test drives, on devices.ini beside the test
// program: exact to the frame, and as fast as they render.
#pragma once

#include "engine/Engine.h"
#include "engine/SoundSystem.h"

#include <memory>
#include <mutex>
#include <string>

namespace test {

inline audio::EngineSettings drivenSettings(const std::string &soundFont = {}) {
    audio::EngineSettings settings;
    settings.clock = audio::Engine::Clock::Driven;
    settings.devices = audio::readDevicesConfig();
    settings.soundFont = soundFont;
    return settings;
}

/// An engine of the test's own.
inline std::shared_ptr<audio::Engine> drivenEngine(const std::string &soundFont = {}) {
    return std::make_shared<audio::Engine>(drivenSettings(soundFont));
}

/// A sound system whose engines are driven: the window's, in its tests.
inline std::shared_ptr<audio::SoundSystem> drivenSound(const std::string &soundFont = {}) {
    return std::make_shared<audio::SoundSystem>(drivenSettings(soundFont));
}

/// Time passes and the engine renders what it has reached.
inline void drive(audio::Engine &engine, std::int64_t frames) {
    std::lock_guard<std::mutex> guard(engine.lock());
    engine.drive(frames);
}

} // namespace test
