// What the benchmarks measure the same way: CPU time and resident memory.
#pragma once

#include "engine/SoundSystem.h"

#include <QEventLoop>
#include <QTimer>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <sys/resource.h>

namespace bench {

/// The benchmark's sound system, whose engine it hands to the devices it
/// opens: on devices.ini, unless useTimeScale() gave it another.
inline std::shared_ptr<audio::SoundSystem> &sound() {
    static std::shared_ptr<audio::SoundSystem> system = std::make_shared<audio::SoundSystem>();
    return system;
}

/// The engines from now on run their steady clock `scale` times faster
/// than real time, on devices.ini's other settings.
inline void useTimeScale(double scale) {
    audio::EngineSettings settings;
    settings.devices = audio::readDevicesConfig();
    settings.timeScale = scale;
    sound() = std::make_shared<audio::SoundSystem>(settings);
}

/// The SoundFont devices.ini chooses.
inline std::string soundFont() {
    return audio::findSoundFont({}, audio::readDevicesConfig());
}

/// User and system CPU seconds of this process (RUSAGE_SELF) or of its
/// waited-for children (RUSAGE_CHILDREN).
inline double cpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

/// A field of /proc/self/status in megabytes: "VmRSS:" now, "VmHWM:" at the peak.
inline double statusMegabytes(const char *field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string name(field);
    while (std::getline(status, line))
        if (line.rfind(name, 0) == 0)
            return std::stod(line.substr(name.size())) / 1024.0;
    return 0;
}

/// Runs the event loop, as the program waits between its ticks, until
/// `done` says so; it is looked at every `ms` milliseconds.
inline void spinUntil(const std::function<bool()> &done, int ms = 100) {
    QEventLoop loop;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    timer.start(ms);
    if (!done())
        loop.exec();
}

} // namespace bench
