// The table of output backends and the choice devices.ini makes among them.
#include "engine/Output.h"

#include "platform/Paths.h"

namespace audio {

bool noneAnswers() {
    return true;
}

std::unique_ptr<Output> openNoneOutput(Engine &, const std::string &, std::string &) {
    return nullptr; // heard nowhere: the engine keeps its steady clock
}

std::vector<OutputDevice> noneDevices(std::string &) {
    return {};
}

const std::vector<OutputBackend> &outputBackends() {
    static const std::vector<OutputBackend> table = {
        {"none", "None (silent, by the steady clock)", noneAnswers, openNoneOutput, noneDevices,
         nullptr},
        {"pulse", "PulseAudio or PipeWire (pipewire-pulse)", pulseAnswers, openPulseOutput,
         pulseDevices, nullptr},
        {"jack", "JACK or PipeWire (pipewire-jack)", jackAnswers, openJackOutput, jackDevices,
         openJackClient},
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

namespace {

// "auto": the first backend whose server answers, on its default device;
// none answers always.
std::unique_ptr<Output> openAuto(Engine &engine) {
    for (const OutputBackend &backend : outputBackends()) {
        if (backend.open == openNoneOutput || !backend.answers())
            continue;
        std::string error;
        if (auto output = backend.open(engine, "", error))
            return output;
    }
    return nullptr;
}

// The output devices.ini names, falling back to auto with a notice.
std::unique_ptr<Output> openNamed(Engine &engine, const DevicesConfig &config,
                                  std::string &notice) {
    if (config.backend == "auto")
        return openAuto(engine);
    const OutputBackend *backend = findOutputBackend(config.backend);
    if (!backend) {
        notice = paths::devicesFile() + " names the sound output \"" + config.backend +
                 "\", which is none of " + outputChoice().listed() + ": auto is used instead";
        return openAuto(engine);
    }
    if (!backend->answers())
        return nullptr; // no server: silently none
    std::string error;
    if (auto output = backend->open(engine, config.device, error))
        return output;
    if (error.empty())
        return nullptr; // none
    notice = "The sound output " + config.backend +
             (config.device.empty() ? "" : " on \"" + config.device + "\"") + " named in " +
             paths::devicesFile() + " cannot be used (" + error + "): auto is used instead";
    return openAuto(engine);
}

// The output as named, with no falling back: why it plays nowhere, if it does not.
std::unique_ptr<Output> openExactly(Engine &engine, const DevicesConfig &config,
                                    std::string &error) {
    std::unique_ptr<Output> output;
    const OutputBackend *backend = findOutputBackend(config.backend);
    if (config.backend == "auto")
        output = openAuto(engine);
    else if (!backend)
        error = "there is no sound output \"" + config.backend + "\"";
    else if (!(output = backend->open(engine, config.device, error)) && !error.empty())
        error = std::string(backend->title) + ": " + error;
    if (!output && error.empty())
        error = config.backend == "none" ? "the output \"none\" plays nowhere"
                                         : "no sound server answers";
    return output;
}

} // namespace

OutputChoice openOutput(Engine &engine, const DevicesConfig &config, bool exact,
                        bool serversAllowed) {
    OutputChoice choice;
    if (!serversAllowed)
        return choice; // none
    if (config.sequencer == "jack" || config.input == "jack") {
        // JACK's cycle is the clock whenever it carries the outside
        // synthesiser's MIDI or the input. The monitor goes with it, unless
        // the synthesiser playing is an outside one (whose own outputs are
        // heard) and no JACK output is asked for.
        const OutputBackend *jack = findOutputBackend("jack");
        JackParts parts;
        parts.monitor =
            config.backend == "jack" || (config.backend == "auto" && !config.outsideSynthesiser());
        parts.monitorPorts = config.backend == "jack" ? config.device : std::string();
        parts.midi = config.sequencer == "jack";
        if (parts.midi)
            parts.midiPort = config.port;
        parts.capture = config.input == "jack";
        if (parts.capture)
            parts.capturePorts = config.inputDevice;
        std::string why;
        choice.output = jack->openClient(engine, parts, why);
        if (!choice.output) {
            const std::string where = " named in " + paths::devicesFile() + " cannot be used: ";
            if (parts.midi)
                choice.sequencerError = "The MIDI port \"" + config.port + "\"" + where + why;
            if (parts.capture)
                choice.inputError =
                    "The capture ports \"" + config.inputDevice + "\"" + where + why;
            if (exact)
                choice.error = parts.midi ? choice.sequencerError : choice.inputError;
        }
        return choice;
    }
    if (exact)
        choice.output = openExactly(engine, config, choice.error);
    else
        choice.output = openNamed(engine, config, choice.notice);
    return choice;
}

} // namespace audio
