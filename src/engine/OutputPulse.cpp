// The pulse output and input: a playback stream of the PulseAudio client
// library (asynchronous API, threaded main loop), and a record stream for a
// real input; both reach PipeWire desktops too.
#include "engine/ClockFollower.h"
#include "engine/Engine.h"
#include "engine/Output.h"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>

namespace audio {
namespace {

// How long a server has to answer before it counts as absent.
constexpr auto kAnswerTime = std::chrono::seconds(2);

// About 50 ms of sound in the server, asked for a period at a time: short
// enough to hear the recording as it goes, and a playback started just
// after a request begins close to where the clock stands.
constexpr std::uint32_t kTargetFrames = 2048;
constexpr std::uint32_t kFrameBytes = kChannels * sizeof(float);

std::string pulseError(pa_context *context) {
    return pa_strerror(pa_context_errno(context));
}

// A main loop and a context connected to the server, for one output or one
// question. Its callbacks run on the main loop's thread.
class Connection {
public:
    Connection() {
        loop_ = pa_threaded_mainloop_new();
        if (!loop_)
            return;
        pa_proplist *properties = pa_proplist_new();
        pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Kestrune");
        pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "kestrune");
        context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "Kestrune",
                                                properties);
        pa_proplist_free(properties);
    }
    ~Connection() {
        if (loop_)
            pa_threaded_mainloop_stop(loop_);
        if (context_) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        if (loop_)
            pa_threaded_mainloop_free(loop_);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    /// Connects without starting a server; false and `error` when none answers.
    bool connect(std::string &error) {
        if (!context_) {
            error = "the PulseAudio client library could not start";
            return false;
        }
        pa_context_set_state_callback(context_, &Connection::signal, loop_);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(loop_) < 0) {
            error = pulseError(context_);
            return false;
        }
        lock();
        const auto until = std::chrono::steady_clock::now() + kAnswerTime;
        pa_context_state_t state;
        while ((state = pa_context_get_state(context_)) != PA_CONTEXT_READY &&
               PA_CONTEXT_IS_GOOD(state) && std::chrono::steady_clock::now() < until)
            waitBriefly();
        const bool ready = state == PA_CONTEXT_READY;
        if (!ready)
            error = PA_CONTEXT_IS_GOOD(state) ? "the server does not answer" : pulseError(context_);
        unlock();
        return ready;
    }

    /// Waits for an operation to end, the loop's lock held.
    void wait(pa_operation *operation) {
        if (!operation)
            return;
        const auto until = std::chrono::steady_clock::now() + kAnswerTime;
        while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING &&
               std::chrono::steady_clock::now() < until)
            waitBriefly();
        pa_operation_unref(operation);
    }

    void lock() { pa_threaded_mainloop_lock(loop_); }
    void unlock() { pa_threaded_mainloop_unlock(loop_); }
    pa_context *context() const { return context_; }
    pa_threaded_mainloop *loop() const { return loop_; }

    static void signal(pa_context *, void *loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
    }

    /// Waits for a signal, the loop's lock held: woken by a state change,
    /// or by a timer, so that a silent server cannot hold the wait for ever.
    void waitBriefly() {
        pa_time_event *timer = pa_context_rttime_new(
            context_, pa_rtclock_now() + 100000,
            [](pa_mainloop_api *, pa_time_event *, const struct timeval *, void *loop) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
            },
            loop_);
        pa_threaded_mainloop_wait(loop_);
        if (timer)
            pa_threaded_mainloop_get_api(loop_)->time_free(timer);
    }

private:
    pa_threaded_mainloop *loop_ = nullptr;
    pa_context *context_ = nullptr;
};

class PulseOutput : public Output {
public:
    PulseOutput(Engine &engine, std::string device) : engine_(engine), device_(std::move(device)) {}
    ~PulseOutput() override {
        connection_.lock();
        closing_ = true;
        if (stream_) {
            pa_stream_set_write_callback(stream_, nullptr, nullptr);
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
        }
        pa_context_set_state_callback(connection_.context(), nullptr, nullptr);
        connection_.unlock();
    }

    bool open(std::string &error) {
        if (!connection_.connect(error))
            return false;
        connection_.lock();
        const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, kSampleRate, kChannels};
        stream_ = pa_stream_new(connection_.context(), "Kestrune monitor", &format, nullptr);
        if (!stream_) {
            error = pulseError(connection_.context());
            connection_.unlock();
            return false;
        }
        pa_stream_set_state_callback(stream_, &PulseOutput::streamState, this);
        pa_stream_set_write_callback(stream_, &PulseOutput::write, this);
        pa_stream_set_underflow_callback(stream_, &PulseOutput::underflow, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = std::uint32_t(-1);
        attributes.tlength = kTargetFrames * kFrameBytes;
        attributes.prebuf = std::uint32_t(-1);
        attributes.minreq = kPeriodFrames * kFrameBytes;
        attributes.fragsize = std::uint32_t(-1);
        const int flags =
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE;
        if (pa_stream_connect_playback(stream_, device_.empty() ? nullptr : device_.c_str(),
                                       &attributes, pa_stream_flags_t(flags), nullptr,
                                       nullptr) < 0) {
            error = pulseError(connection_.context());
            connection_.unlock();
            return false;
        }
        const auto until = std::chrono::steady_clock::now() + kAnswerTime;
        pa_stream_state_t state;
        while ((state = pa_stream_get_state(stream_)) == PA_STREAM_CREATING &&
               std::chrono::steady_clock::now() < until)
            connection_.waitBriefly();
        if (state != PA_STREAM_READY) {
            error = state == PA_STREAM_CREATING
                        ? std::string("the server does not answer")
                        : (device_.empty() ? pulseError(connection_.context())
                                           : "there is no sink \"" + device_ + "\"");
            connection_.unlock();
            return false;
        }
        if (device_.empty())
            device_ = pa_stream_get_device_name(stream_);
        // From here on the server's losses are the engine's to hear of.
        pa_context_set_state_callback(connection_.context(), &PulseOutput::contextState, this);
        connection_.unlock();
        return true;
    }

    std::string describe() const override { return "PulseAudio, sink " + device_; }

    double latency() const override {
        pa_usec_t usec = 0;
        int negative = 0;
        const_cast<Connection &>(connection_).lock();
        const bool known = stream_ && pa_stream_get_latency(stream_, &usec, &negative) == 0;
        const_cast<Connection &>(connection_).unlock();
        return known && !negative ? double(usec) / 1e6 : 0;
    }

    long underruns() const override { return underruns_.load(); }

private:
    static void write(pa_stream *stream, std::size_t bytes, void *self) {
        auto *output = static_cast<PulseOutput *>(self);
        while (bytes >= kFrameBytes) {
            void *data = nullptr;
            std::size_t size = bytes;
            if (pa_stream_begin_write(stream, &data, &size) < 0 || !data)
                return;
            size -= size % kFrameBytes;
            output->engine_.pull(static_cast<float *>(data), size / kFrameBytes);
            pa_stream_write(stream, data, size, nullptr, 0, PA_SEEK_RELATIVE);
            bytes -= size;
        }
    }

    static void underflow(pa_stream *, void *self) {
        ++static_cast<PulseOutput *>(self)->underruns_;
    }

    static void streamState(pa_stream *stream, void *self) {
        auto *output = static_cast<PulseOutput *>(self);
        pa_threaded_mainloop_signal(output->connection_.loop(), 0);
        if (pa_stream_get_state(stream) == PA_STREAM_FAILED && output->opened())
            output->lost(pulseError(pa_stream_get_context(stream)));
    }

    static void contextState(pa_context *context, void *self) {
        auto *output = static_cast<PulseOutput *>(self);
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
            output->lost("the PulseAudio server went away (" + pulseError(context) + ")");
    }

    bool opened() const { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; }

    void lost(const std::string &why) {
        if (closing_ || lost_.exchange(true))
            return;
        engine_.outputLost(why);
    }

    Engine &engine_;
    std::string device_;
    Connection connection_;
    pa_stream *stream_ = nullptr;
    bool closing_ = false;
    std::atomic<bool> lost_{false};
    std::atomic<long> underruns_{0};
};

// A record stream: what a source hears, handed to the engine at the frames
// it reached the source.
class PulseCapture : public Capture {
public:
    PulseCapture(Engine &engine, std::string source)
        : engine_(engine), source_(std::move(source)) {}
    ~PulseCapture() override {
        connection_.lock();
        closing_ = true;
        if (stream_) {
            pa_stream_set_read_callback(stream_, nullptr, nullptr);
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
        }
        pa_context_set_state_callback(connection_.context(), nullptr, nullptr);
        connection_.unlock();
    }

    bool open(std::string &error) {
        if (source_.empty()) {
            error = "no source is named";
            return false;
        }
        if (!connection_.connect(error))
            return false;
        connection_.lock();
        const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, kSampleRate, kChannels};
        stream_ = pa_stream_new(connection_.context(), "Kestrune input", &format, nullptr);
        if (!stream_) {
            error = pulseError(connection_.context());
            connection_.unlock();
            return false;
        }
        pa_stream_set_state_callback(stream_, &PulseCapture::streamState, this);
        pa_stream_set_read_callback(stream_, &PulseCapture::read, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = std::uint32_t(-1);
        attributes.fragsize = kPeriodFrames * kFrameBytes;
        const int flags =
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE;
        if (pa_stream_connect_record(stream_, source_.c_str(), &attributes,
                                     pa_stream_flags_t(flags)) < 0) {
            error = pulseError(connection_.context());
            connection_.unlock();
            return false;
        }
        const auto until = std::chrono::steady_clock::now() + kAnswerTime;
        pa_stream_state_t state;
        while ((state = pa_stream_get_state(stream_)) == PA_STREAM_CREATING &&
               std::chrono::steady_clock::now() < until)
            connection_.waitBriefly();
        if (state != PA_STREAM_READY) {
            error = state == PA_STREAM_CREATING ? std::string("the server does not answer")
                                                : "there is no source \"" + source_ + "\"";
            connection_.unlock();
            return false;
        }
        // A source may take most of a second to deliver its first frames
        // (a sink's monitor waits for the sink's next block): a recording
        // that starts before then would begin with a hole.
        while (heard_ == 0 && std::chrono::steady_clock::now() < until)
            connection_.waitBriefly();
        connection_.unlock();
        return true;
    }

    std::string describe() const override { return "PulseAudio, source " + source_; }

private:
    static void read(pa_stream *stream, std::size_t, void *self) {
        auto *capture = static_cast<PulseCapture *>(self);
        while (pa_stream_readable_size(stream) > 0) {
            const void *data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
                return;
            const std::size_t frames = bytes / kFrameBytes;
            capture->place(stream, frames);
            // A hole (frames the server lost) keeps the count, not the data.
            if (data)
                capture->engine_.capture(capture->follower_.origin() + capture->heard_,
                                         static_cast<const float *>(data), frames);
            capture->heard_ += std::int64_t(frames);
            pa_stream_drop(stream);
        }
        pa_threaded_mainloop_signal(capture->connection_.loop(), 0);
    }

    // Where the frames heard belong on the engine's clock. The last frame
    // of what arrives now reached the source no later than now, less the
    // source's own latency (the stream's total latency is not used, as the
    // server reports it wrong until its first timing update). The follower
    // places the frames one after the other from the earliest such bound,
    // and has an engine on the steady clock keep the source's pace.
    void place(pa_stream *stream, std::size_t frames) {
        // The source's latency, as the server reports it at each timing
        // update, swings by up to a block (a sink's monitor says 0 or a
        // whole block, by when it is asked): the least report of the first
        // second is kept, so that a later report never moves frames
        // already placed (which would drop or double them).
        if (!follower_.placed())
            if (const pa_timing_info *timing = pa_stream_get_timing_info(stream))
                sourceLatency_ = std::min(sourceLatency_, std::int64_t(timing->source_usec) *
                                                              kSampleRate / 1000000);
        const std::int64_t latency = sourceLatency_ == INT64_MAX ? 0 : sourceLatency_;
        follower_.arrived(engine_.now() - heard_ - std::int64_t(frames) - latency, heard_);
        if (follower_.paceChanged())
            engine_.followInput(follower_.pace());
    }

    static void streamState(pa_stream *stream, void *self) {
        auto *capture = static_cast<PulseCapture *>(self);
        pa_threaded_mainloop_signal(capture->connection_.loop(), 0);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && !capture->closing_ &&
            capture->opened_)
            capture->engine_.portLost("the PulseAudio source " + capture->source_ + " went away");
        if (state == PA_STREAM_READY)
            capture->opened_ = true;
    }

    Engine &engine_;
    const std::string source_;
    Connection connection_;
    pa_stream *stream_ = nullptr;
    bool closing_ = false, opened_ = false;
    ClockFollower follower_;
    std::int64_t heard_ = 0;
    std::int64_t sourceLatency_ = INT64_MAX; // in frames; none reported yet
};

// What the server offers through one of its listings (sinks, sources), by
// the names it gives them.
template <typename Info>
std::vector<OutputDevice> listNamed(
    pa_operation *(*list)(pa_context *, void (*)(pa_context *, const Info *, int, void *), void *),
    std::string &error) {
    std::vector<OutputDevice> devices;
    Connection connection;
    if (!connection.connect(error))
        return devices;
    connection.lock();
    struct Asked {
        Connection *connection;
        std::vector<OutputDevice> *devices;
    } asked{&connection, &devices};
    connection.wait(list(
        connection.context(),
        [](pa_context *, const Info *info, int last, void *data) {
            auto *a = static_cast<Asked *>(data);
            if (last == 0 && info)
                a->devices->push_back({info->name, info->description ? info->description : ""});
            pa_threaded_mainloop_signal(a->connection->loop(), 0);
        },
        &asked));
    connection.unlock();
    return devices;
}

} // namespace

std::unique_ptr<Capture> openPulseCapture(Engine &engine, const std::string &source,
                                          std::string &error) {
    auto capture = std::make_unique<PulseCapture>(engine, source);
    if (!capture->open(error))
        return nullptr;
    return capture;
}

std::vector<OutputDevice> pulseSources(std::string &error) {
    return listNamed(pa_context_get_source_info_list, error);
}

bool pulseAnswers() {
    Connection connection;
    std::string error;
    return connection.connect(error);
}

std::unique_ptr<Output> openPulseOutput(Engine &engine, const std::string &device,
                                        std::string &error) {
    auto output = std::make_unique<PulseOutput>(engine, device);
    if (!output->open(error))
        return nullptr;
    return output;
}

std::vector<OutputDevice> pulseDevices(std::string &error) {
    return listNamed(pa_context_get_sink_info_list, error);
}

} // namespace audio
