// The table of output backends and the choice devices.ini makes among them.
#include "platform/audio/Output.h"

#include "platform/Paths.h"

namespace audio {

const std::vector<OutputBackend> &outputBackends() {
    static const std::vector<OutputBackend> table = {
        {"none", "None (silent, by the steady clock)", nullptr, nullptr, nullptr},
        {"pulse", "PulseAudio or PipeWire (pipewire-pulse)", pulseAnswers, openPulseOutput,
         pulseDevices},
        {"jack", "JACK or PipeWire (pipewire-jack)", jackAnswers, openJackOutput, jackDevices},
    };
    return table;
}

const DevicesChoice &outputChoice() {
    static const DevicesChoice choice = [] {
        DevicesChoice c{"Output", "Backend", {"auto"}};
        for (const OutputBackend &backend : outputBackends())
            c.values.push_back(backend.name);
        return c;
    }();
    return choice;
}

const OutputBackend *findOutputBackend(const std::string &name) {
    for (const OutputBackend &backend : outputBackends())
        if (name == backend.name)
            return &backend;
    return nullptr;
}

std::unique_ptr<Output> openConfiguredOutput(Engine &engine, const DevicesConfig &config,
                                             std::string &notice) {
    if (config.backend != "auto") {
        const OutputBackend *backend = findOutputBackend(config.backend);
        if (!backend) {
            notice = paths::devicesFile() + " names the sound output \"" + config.backend +
                     "\", which is none of " + outputChoice().listed() + ": auto is used instead";
        } else if (!backend->open) {
            return nullptr; // none
        } else if (backend->answers()) {
            std::string error;
            if (auto output = backend->open(engine, config.device, error))
                return output;
            notice = "The sound output " + config.backend +
                     (config.device.empty() ? "" : " on \"" + config.device + "\"") + " named in " +
                     paths::devicesFile() + " cannot be used (" + error + "): auto is used instead";
        } else {
            return nullptr; // no server: silently none
        }
    }
    // auto: the first backend whose server answers, on its default device.
    for (const OutputBackend &backend : outputBackends()) {
        if (!backend.open || !backend.answers())
            continue;
        std::string error;
        if (auto output = backend.open(engine, "", error))
            return output;
    }
    return nullptr;
}

} // namespace audio
