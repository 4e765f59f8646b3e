// The jack output: a JACK client whose process callback is the engine's
// clock. It plays the monitor on two output ports, sends an outside
// synthesiser's MIDI at the frame each event is due, and hands what two
// capture ports hear to the engine. It reaches PipeWire through
// pipewire-jack too.
#include "engine/Engine.h"
#include "engine/MidiTarget.h"
#include "engine/Output.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string_view>

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

std::string joined(const std::vector<std::string> &names) {
    std::string text;
    for (const std::string &name : names)
        text += (text.empty() ? "" : ",") + name;
    return text;
}

// Events on their way to the MIDI port, in the order of their frames. The
// engine queues them as it renders (under its lock, on the process thread);
// each cycle writes those due in it at their offsets.
class JackMidi : public MidiTarget {
public:
    JackMidi() { queue_.reserve(8192); }

    void send(const MidiEvent &event, std::int64_t frame, const std::uint8_t *sysex) override {
        if (event.status == 0xF0) {
            if (!sysex)
                return;
            Queued q{frame, true, {}, bytes_.size(), event.sysexLength + 2};
            bytes_.push_back(0xF0);
            bytes_.insert(bytes_.end(), sysex + event.sysexOffset,
                          sysex + event.sysexOffset + event.sysexLength);
            bytes_.push_back(0xF7);
            queue_.push_back(q);
            return;
        }
        Queued q{frame, false, {}, 0, 0};
        q.size = std::size_t(channelMessageBytes(event, q.bytes));
        queue_.push_back(q);
    }
    void allNotesOff(std::int64_t frame) override {
        for (std::uint8_t channel = 0; channel < 16; ++channel) {
            control(frame, channel, 64, 0);  // the sustain pedal up
            control(frame, channel, 123, 0); // all notes off
        }
    }
    void reset(std::int64_t frame) override {
        for (std::uint8_t channel = 0; channel < 16; ++channel) {
            control(frame, channel, 120, 0); // all sound off
            control(frame, channel, 121, 0); // every controller back
        }
    }

    // Writes the events due before `end` into `buffer`, at their offsets
    // from `start` (a late one at the cycle's start).
    void write(void *buffer, std::int64_t start, std::int64_t end) {
        jack_nframes_t last = 0;
        while (next_ < queue_.size() && queue_[next_].frame < end) {
            const Queued &q = queue_[next_++];
            const auto offset = std::max<jack_nframes_t>(
                last, jack_nframes_t(std::max<std::int64_t>(0, q.frame - start)));
            const std::uint8_t *data = q.sysex ? bytes_.data() + q.sysexAt : q.bytes;
            if (jack_midi_event_write(buffer, offset, data, q.size) == 0)
                last = offset;
        }
        if (next_ == queue_.size()) {
            queue_.clear();
            bytes_.clear();
            next_ = 0;
        }
    }

private:
    struct Queued {
        std::int64_t frame;
        bool sysex;
        std::uint8_t bytes[3];
        std::size_t sysexAt; // where a system-exclusive message's bytes begin
        std::size_t size;
    };
    void control(std::int64_t frame, std::uint8_t channel, std::uint8_t number,
                 std::uint8_t value) {
        queue_.push_back(Queued{frame, false, {std::uint8_t(0xB0 | channel), number, value}, 0, 3});
    }

    std::vector<Queued> queue_;
    std::vector<std::uint8_t> bytes_; // system-exclusive messages
    std::size_t next_ = 0;
};

class JackClient : public Output {
public:
    JackClient(Engine &engine, JackParts parts) : engine_(engine), parts_(std::move(parts)) {}
    ~JackClient() override {
        closing_ = true;
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }

    bool open(std::string &error) {
        client_ = openClient("Kestrune", error);
        if (!client_)
            return false;
        if (jack_get_sample_rate(client_) != jack_nframes_t(kSampleRate)) {
            error = "the JACK server runs at " + std::to_string(jack_get_sample_rate(client_)) +
                    " Hz; the engine needs 44100 Hz";
            return false;
        }
        const auto audio = JACK_DEFAULT_AUDIO_TYPE;
        if (parts_.monitor) {
            out_[0] = jack_port_register(client_, "out_left", audio, JackPortIsOutput, 0);
            out_[1] = jack_port_register(client_, "out_right", audio, JackPortIsOutput, 0);
        }
        if (parts_.midi)
            midiOut_ = jack_port_register(client_, "midi_out", JACK_DEFAULT_MIDI_TYPE,
                                          JackPortIsOutput, 0);
        if (parts_.capture) {
            in_[0] = jack_port_register(client_, "in_left", audio, JackPortIsInput, 0);
            in_[1] = jack_port_register(client_, "in_right", audio, JackPortIsInput, 0);
        }
        if ((parts_.monitor && (!out_[0] || !out_[1])) || (parts_.midi && !midiOut_) ||
            (parts_.capture && (!in_[0] || !in_[1]))) {
            error = "the JACK server refused the client's ports";
            return false;
        }
        // Every port named must be there.
        monitorTargets_ = portNames(parts_.monitorPorts);
        midiTargets_ = portNames(parts_.midiPort);
        captureSources_ = portNames(parts_.capturePorts);
        if (parts_.midi && midiTargets_.empty()) {
            error = "no MIDI port is named";
            return false;
        }
        if (parts_.capture && captureSources_.empty()) {
            error = "no capture ports are named";
            return false;
        }
        for (const auto *list : {&monitorTargets_, &midiTargets_, &captureSources_})
            for (const std::string &name : *list)
                if (!jack_port_by_name(client_, name.c_str())) {
                    error = "there is no JACK port \"" + name + "\"";
                    return false;
                }
        if (parts_.monitor && monitorTargets_.empty()) {
            // The system's playback ports.
            if (const char **physical = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                                       JackPortIsPhysical | JackPortIsInput)) {
                for (int i = 0; physical[i] && i < 2; ++i)
                    monitorTargets_.emplace_back(physical[i]);
                jack_free(physical);
            }
        }
        jack_set_process_callback(client_, &JackClient::process, this);
        jack_set_xrun_callback(client_, &JackClient::xrun, this);
        jack_set_port_connect_callback(client_, &JackClient::connection, this);
        jack_on_info_shutdown(client_, &JackClient::shutdown, this);
        if (jack_activate(client_) != 0) {
            error = "the JACK client could not be activated";
            return false;
        }
        // A single port takes both channels.
        for (std::size_t i = 0; i < 2 && parts_.monitor && !monitorTargets_.empty(); ++i)
            jack_connect(client_, jack_port_name(out_[i]),
                         monitorTargets_[std::min(i, monitorTargets_.size() - 1)].c_str());
        if (parts_.midi)
            jack_connect(client_, jack_port_name(midiOut_), midiTargets_.front().c_str());
        for (std::size_t i = 0; i < 2 && parts_.capture; ++i)
            jack_connect(client_, captureSources_[std::min(i, captureSources_.size() - 1)].c_str(),
                         jack_port_name(in_[i]));
        watching_ = true;
        return true;
    }

    std::string describe() const override {
        std::string text = "JACK";
        if (parts_.monitor)
            text += ", ports " +
                    (monitorTargets_.empty() ? std::string("(none)") : joined(monitorTargets_));
        if (parts_.midi)
            text += ", MIDI to " + joined(midiTargets_);
        if (parts_.capture)
            text += ", recording " + joined(captureSources_);
        return text;
    }

    double latency() const override {
        if (!out_[0])
            return 0;
        jack_latency_range_t range{};
        jack_port_get_latency_range(out_[0], JackPlaybackLatency, &range);
        return double(range.max) / kSampleRate;
    }

    long underruns() const override { return xruns_.load(); }
    MidiTarget *midiPort() override { return parts_.midi ? &midi_ : nullptr; }
    std::int64_t midiLatency() const override {
        if (!midiOut_)
            return 0;
        jack_latency_range_t range{};
        jack_port_get_latency_range(midiOut_, JackPlaybackLatency, &range);
        return range.max;
    }
    std::int64_t captureLatency() const override {
        if (!in_[0])
            return 0;
        jack_latency_range_t range{};
        jack_port_get_latency_range(in_[0], JackCaptureLatency, &range);
        return range.max;
    }

    std::optional<std::chrono::steady_clock::time_point> timeOf(std::int64_t frame) const override {
        if (cycleStart_ < 0)
            return std::nullopt;
        // JACK's own reckoning of its frames' times, in microseconds of the
        // monotonic clock, which the steady clock is.
        const auto at = jack_nframes_t(std::int64_t(cycleFrameTime_) + (frame - cycleStart_));
        return std::chrono::steady_clock::time_point(
            std::chrono::microseconds(jack_frames_to_time(client_, at)));
    }

private:
    static int process(jack_nframes_t frames, void *self) {
        auto *client = static_cast<JackClient *>(self);
        client->frames_ = frames;
        float *left = nullptr, *right = nullptr;
        if (client->out_[0]) {
            left = static_cast<float *>(jack_port_get_buffer(client->out_[0], frames));
            right = static_cast<float *>(jack_port_get_buffer(client->out_[1], frames));
        }
        client->engine_.cycle(left, right, frames, &JackClient::afterRender, client);
        return 0;
    }

    // With the engine's lock held, once the cycle's frames are rendered.
    static void afterRender(void *self, std::int64_t start) {
        auto *client = static_cast<JackClient *>(self);
        const jack_nframes_t frames = client->frames_;
        client->cycleStart_ = start;
        client->cycleFrameTime_ = jack_last_frame_time(client->client_);
        if (client->midiOut_) {
            void *buffer = jack_port_get_buffer(client->midiOut_, frames);
            jack_midi_clear_buffer(buffer);
            client->midi_.write(buffer, start, start + frames);
        }
        if (client->in_[0]) {
            // What the ports hear now reached the input this many frames ago.
            jack_latency_range_t range{};
            jack_port_get_latency_range(client->in_[0], JackCaptureLatency, &range);
            client->engine_.captureLocked(
                start - std::int64_t(range.max),
                static_cast<const float *>(jack_port_get_buffer(client->in_[0], frames)),
                static_cast<const float *>(jack_port_get_buffer(client->in_[1], frames)), frames);
        }
    }

    static int xrun(void *self) {
        ++static_cast<JackClient *>(self)->xruns_;
        return 0;
    }

    // A connection came or went: one of the outside synthesiser's gone means
    // the run cannot go on. (JACK's notification thread.)
    static void connection(jack_port_id_t, jack_port_id_t, int connected, void *self) {
        auto *client = static_cast<JackClient *>(self);
        if (connected || !client->watching_ || client->closing_)
            return;
        std::string lost;
        if (client->midiOut_ &&
            !jack_port_connected_to(client->midiOut_, client->midiTargets_.front().c_str()))
            lost = "the MIDI port " + client->midiTargets_.front();
        for (std::size_t i = 0; i < 2 && client->in_[0] && lost.empty(); ++i) {
            const std::string &source =
                client->captureSources_[std::min(i, client->captureSources_.size() - 1)];
            if (!jack_port_connected_to(client->in_[i], source.c_str()))
                lost = "the capture port " + source;
        }
        if (!lost.empty() && !client->lost_.exchange(true))
            client->engine_.portLost(lost + " went away during the recording");
    }

    static void shutdown(jack_status_t, const char *reason, void *self) {
        auto *client = static_cast<JackClient *>(self);
        if (client->closing_)
            return;
        client->watching_ = false;
        const std::string why =
            "the JACK server went away" +
            (reason && *reason ? " (" + std::string(reason) + ")" : std::string());
        if (client->parts_.midi || client->parts_.capture)
            client->engine_.portLost(why);
        client->engine_.outputLost(why);
    }

    Engine &engine_;
    const JackParts parts_;
    jack_client_t *client_ = nullptr;
    jack_port_t *out_[2] = {nullptr, nullptr};
    jack_port_t *in_[2] = {nullptr, nullptr};
    jack_port_t *midiOut_ = nullptr;
    std::vector<std::string> monitorTargets_, midiTargets_, captureSources_;
    jack_nframes_t frames_ = 0;
    // The engine frame the last cycle began at, and JACK's frame time then
    // (guarded by the engine's lock).
    std::int64_t cycleStart_ = -1;
    jack_nframes_t cycleFrameTime_ = 0;
    JackMidi midi_;
    std::atomic<bool> closing_{false}, watching_{false}, lost_{false};
    std::atomic<long> xruns_{0};
};

std::vector<OutputDevice> listPorts(const char *type, unsigned long flags, const char *whatPhysical,
                                    const char *whatElse, std::string &error) {
    std::vector<OutputDevice> devices;
    jack_client_t *client = openClient("Kestrune-devices", error);
    if (!client)
        return devices;
    if (const char **ports = jack_get_ports(client, nullptr, type, flags)) {
        for (int i = 0; ports[i]; ++i) {
            jack_port_t *port = jack_port_by_name(client, ports[i]);
            const bool physical = port && (jack_port_flags(port) & JackPortIsPhysical);
            // The program's own ports are no place to play or record: its
            // clients are "Kestrune", or "Kestrune-NN" when the server renamed one.
            const std::string_view owner =
                std::string_view(ports[i]).substr(0, std::strcspn(ports[i], ":"));
            if (owner != "Kestrune" && owner.rfind("Kestrune-", 0) != 0)
                devices.push_back({ports[i], physical ? whatPhysical : whatElse});
        }
        jack_free(ports);
    }
    jack_client_close(client);
    return devices;
}

} // namespace

bool jackAnswers() {
    std::string error;
    jack_client_t *client = openClient("Kestrune-probe", error);
    if (!client)
        return false;
    jack_client_close(client);
    return true;
}

std::unique_ptr<Output> openJackClient(Engine &engine, const JackParts &parts, std::string &error) {
    auto client = std::make_unique<JackClient>(engine, parts);
    if (!client->open(error))
        return nullptr;
    return client;
}

std::unique_ptr<Output> openJackOutput(Engine &engine, const std::string &device,
                                       std::string &error) {
    JackParts parts;
    parts.monitorPorts = device;
    return openJackClient(engine, parts, error);
}

std::vector<OutputDevice> jackDevices(std::string &error) {
    return listPorts(JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, "sound card playback",
                     "an application", error);
}

std::vector<OutputDevice> jackMidiInputs(std::string &error) {
    return listPorts(JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, "a MIDI device",
                     "an application (a synthesiser)", error);
}

std::vector<OutputDevice> jackAudioOutputs(std::string &error) {
    return listPorts(JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, "sound card capture",
                     "an application", error);
}

} // namespace audio
