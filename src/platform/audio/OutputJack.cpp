// The jack output: a JACK client with two output ports, rendered in the
// process callback; it reaches PipeWire through pipewire-jack too.
#include "platform/audio/Engine.h"
#include "platform/audio/Output.h"

#include <jack/jack.h>

#include <atomic>

namespace audio {
namespace {

void quiet(const char *) {}

// A client that never starts a server of its own.
jack_client_t *openClient(const char *name, std::string &error) {
    // The library's chatter (no server, and so on) would go to the
    // terminal of a desktop program; what matters reaches the user as errors.
    static const bool silenced = [] {
        jack_set_error_function(quiet);
        jack_set_info_function(quiet);
        return true;
    }();
    (void)silenced;
    jack_status_t status{};
    jack_client_t *client = jack_client_open(name, JackNoStartServer, &status);
    if (!client)
        error = (status & JackServerFailed) || (status & JackServerError)
                    ? "no JACK server runs"
                    : "the JACK server refused the client";
    return client;
}

// The names in a comma-separated list, blanks around them dropped.
std::vector<std::string> portNames(const std::string &list) {
    std::vector<std::string> names;
    std::size_t at = 0;
    while (at <= list.size()) {
        std::size_t comma = list.find(',', at);
        if (comma == std::string::npos)
            comma = list.size();
        std::string name = list.substr(at, comma - at);
        const auto first = name.find_first_not_of(" \t");
        if (first != std::string::npos)
            names.push_back(name.substr(first, name.find_last_not_of(" \t") - first + 1));
        at = comma + 1;
    }
    return names;
}

class JackOutput : public Output {
public:
    explicit JackOutput(Engine &engine) : engine_(engine) {}
    ~JackOutput() override {
        closing_ = true;
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }

    bool open(const std::string &device, std::string &error) {
        client_ = openClient("Kestrune", error);
        if (!client_)
            return false;
        if (jack_get_sample_rate(client_) != jack_nframes_t(kSampleRate)) {
            error = "the JACK server runs at " + std::to_string(jack_get_sample_rate(client_)) +
                    " Hz; the engine needs 44100 Hz";
            return false;
        }
        ports_[0] =
            jack_port_register(client_, "out_left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        ports_[1] =
            jack_port_register(client_, "out_right", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        if (!ports_[0] || !ports_[1]) {
            error = "the JACK server refused the output ports";
            return false;
        }
        std::vector<std::string> targets = portNames(device);
        if (targets.empty()) {
            // The system's playback ports.
            if (const char **physical = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                                       JackPortIsPhysical | JackPortIsInput)) {
                for (int i = 0; physical[i] && i < 2; ++i)
                    targets.emplace_back(physical[i]);
                jack_free(physical);
            }
        } else {
            for (const std::string &name : targets)
                if (!jack_port_by_name(client_, name.c_str())) {
                    error = "there is no JACK port \"" + name + "\"";
                    return false;
                }
        }
        jack_set_process_callback(client_, &JackOutput::process, this);
        jack_set_xrun_callback(client_, &JackOutput::xrun, this);
        jack_on_info_shutdown(client_, &JackOutput::shutdown, this);
        if (jack_activate(client_) != 0) {
            error = "the JACK client could not be activated";
            return false;
        }
        // A single port takes both channels.
        for (std::size_t i = 0; i < 2 && !targets.empty(); ++i)
            jack_connect(client_, jack_port_name(ports_[i]),
                         targets[std::min(i, targets.size() - 1)].c_str());
        for (const std::string &target : targets)
            connected_ += (connected_.empty() ? "" : ",") + target;
        return true;
    }

    std::string describe() const override {
        return "JACK, ports " + (connected_.empty() ? std::string("(none)") : connected_);
    }

    double latency() const override {
        jack_latency_range_t range{};
        jack_port_get_latency_range(ports_[0], JackPlaybackLatency, &range);
        return double(range.max) / kSampleRate;
    }

    long underruns() const override { return xruns_.load(); }

    /// The client's own name, as the server gave it ("Kestrune", or "Kestrune-01").
    std::string clientName() const { return jack_get_client_name(client_); }

private:
    static int process(jack_nframes_t frames, void *self) {
        auto *output = static_cast<JackOutput *>(self);
        auto *left = static_cast<float *>(jack_port_get_buffer(output->ports_[0], frames));
        auto *right = static_cast<float *>(jack_port_get_buffer(output->ports_[1], frames));
        output->engine_.pull(left, right, frames);
        return 0;
    }

    static int xrun(void *self) {
        ++static_cast<JackOutput *>(self)->xruns_;
        return 0;
    }

    static void shutdown(jack_status_t, const char *reason, void *self) {
        auto *output = static_cast<JackOutput *>(self);
        if (!output->closing_)
            output->engine_.outputLost(
                "the JACK server went away" +
                (reason && *reason ? " (" + std::string(reason) + ")" : std::string()));
    }

    Engine &engine_;
    jack_client_t *client_ = nullptr;
    jack_port_t *ports_[2] = {nullptr, nullptr};
    std::string connected_;
    std::atomic<bool> closing_{false};
    std::atomic<long> xruns_{0};
};

} // namespace

bool jackAnswers() {
    std::string error;
    jack_client_t *client = openClient("Kestrune-probe", error);
    if (!client)
        return false;
    jack_client_close(client);
    return true;
}

std::unique_ptr<Output> openJackOutput(Engine &engine, const std::string &device,
                                       std::string &error) {
    auto output = std::make_unique<JackOutput>(engine);
    if (!output->open(device, error))
        return nullptr;
    return output;
}

std::vector<OutputDevice> jackDevices(std::string &error) {
    std::vector<OutputDevice> devices;
    jack_client_t *client = openClient("Kestrune-devices", error);
    if (!client)
        return devices;
    if (const char **ports =
            jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput)) {
        for (int i = 0; ports[i]; ++i) {
            jack_port_t *port = jack_port_by_name(client, ports[i]);
            const bool physical = port && (jack_port_flags(port) & JackPortIsPhysical);
            devices.push_back({ports[i], physical ? "sound card playback" : "an application"});
        }
        jack_free(ports);
    }
    jack_client_close(client);
    return devices;
}

} // namespace audio
