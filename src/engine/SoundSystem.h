// A program's sound system: how its engine is made (its clock, devices.ini's
// settings, the SoundFont), the engine itself while anything holds it, and
// what the engines have to tell the person using the program. The window
// owns one and hands its engine to the devices it opens; nothing about it
// is process-wide, so one process may hold several.
#pragma once

#include "engine/DeviceConfig.h"
#include "engine/Engine.h"

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace audio {

/// What the sound system has to tell the person using the program: a lost
/// output, a devices.ini naming what does not exist, an input that stayed
/// silent. Any thread.
class SoundNotices {
public:
    void post(const std::string &text);
    /// Posts `text` unless it was posted once already (a devices.ini fault
    /// is told once a run of the program).
    void postOnce(const std::string &text);
    /// Returns them all and forgets them.
    std::vector<std::string> take();

private:
    std::mutex mutex_;
    std::vector<std::string> notices_;
    std::set<std::string> told_;
};

class SoundSystem {
public:
    /// Engines on devices.ini as it reads when each engine starts.
    SoundSystem();
    /// Engines with `settings`.
    explicit SoundSystem(EngineSettings settings);
    SoundSystem(const SoundSystem &) = delete;
    SoundSystem &operator=(const SoundSystem &) = delete;

    /// The settings the next engine starts with.
    EngineSettings settings() const;
    /// The running engine, started if nothing holds it yet. It stops when
    /// the last holder lets go.
    std::shared_ptr<Engine> acquire();
    /// What its engines have to tell.
    SoundNotices &notices() { return *notices_; }
    std::vector<std::string> takeNotices() { return notices_->take(); }

private:
    bool followsDevicesFile_ = false;
    EngineSettings settings_;
    std::shared_ptr<SoundNotices> notices_ = std::make_shared<SoundNotices>();
    std::mutex mutex_;
    std::weak_ptr<Engine> engine_;
};

} // namespace audio
