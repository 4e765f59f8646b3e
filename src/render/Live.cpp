// The live batch's instrument: resets, silences and test notes sent on the
// engine's blocks, the input's loudness period by period, and the level
// check's meter.
#include "render/Live.h"

#include "engine/Levels.h"
#include "engine/MidiTarget.h"
#include "platform/FileWrite.h"
#include "platform/Paths.h"
#include "render/Request.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace render {
namespace {

using audio::kPeriodFrames;
using audio::kSampleRate;
using audio::MidiEvent;

// The input's periods kept: three seconds.
constexpr std::size_t kKeptPeriods = 3 * kSampleRate / kPeriodFrames;
// A sample at full scale, as a 16-bit input gives it.
constexpr float kFullScale = 32767.0f / 32768.0f;
// A reset's system-exclusive message wants 50 ms before the next one.
constexpr std::int64_t kAfterSysex = kSampleRate / 20;
// How long after its frame a message has surely left (an ALSA queue holds
// it back 100 ms; a JACK cycle is shorter).
constexpr std::int64_t kSentAfter = kSampleRate / 5;
// The input has rung out once it stayed near its floor this long.
constexpr std::int64_t kQuietFrames = kSampleRate / 5;

MidiEvent channelEvent(int status, int channel, int data1, int data2 = 0) {
    MidiEvent e;
    e.status = std::uint8_t(status | channel);
    e.data1 = std::uint8_t(data1);
    e.data2 = std::uint8_t(data2);
    return e;
}

// Each standard's reset, without its framing bytes.
std::vector<std::uint8_t> resetMessage(ResetKind kind) {
    switch (kind) {
    case ResetKind::Gm:
        return {0x7E, 0x7F, 0x09, 0x01};
    case ResetKind::Gs:
        return {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41};
    case ResetKind::Xg:
        return {0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00};
    case ResetKind::Mt32:
        // All parameters reset: address 7F 00 00, with its checksum.
        return {0x41, 0x10, 0x16, 0x12, 0x7F, 0x00, 0x00, 0x00, 0x01};
    case ResetKind::None:
        break;
    }
    return {};
}

// The port a --midi-port or --input names, and the kind its prefix gives
// ("jack:", "alsa:", "pulse:"), else `fallback`.
void namedPort(const std::string &given, const std::vector<std::string> &kinds,
               const std::string &fallback, std::string &kind, std::string &port) {
    for (const std::string &k : kinds) {
        if (given.rfind(k + ":", 0) == 0) {
            kind = k;
            port = given.substr(k.size() + 1);
            return;
        }
    }
    kind = fallback;
    port = given;
}

float dbfs(float level) {
    return float(audio::decibels(level));
}

} // namespace

bool parseReset(const std::string &text, ResetKind &kind) {
    static const std::pair<const char *, ResetKind> names[] = {
        {"gm", ResetKind::Gm},     {"gs", ResetKind::Gs},     {"xg", ResetKind::Xg},
        {"mt32", ResetKind::Mt32}, {"none", ResetKind::None},
    };
    for (const auto &[name, value] : names)
        if (text == name) {
            kind = value;
            return true;
        }
    return false;
}

audio::DevicesConfig liveDevices(const Request &request) {
    audio::DevicesConfig config = audio::readDevicesConfig();
    if (!request.midiPort.empty())
        namedPort(request.midiPort, {"jack", "alsa"},
                  config.outsideSynthesiser() ? config.sequencer : "jack", config.sequencer,
                  config.port);
    if (!request.input.empty())
        namedPort(request.input, {"jack", "pulse"}, config.realInput() ? config.input : "jack",
                  config.input, config.inputDevice);
    if (request.latencyGiven)
        config.offset = request.latency;
    // An outside synthesiser is heard by itself: away from JACK, whose
    // cycle is the clock, nothing is played out, so that the engine runs by
    // the steady clock and keeps the input's pace.
    if (config.outsideSynthesiser() && config.sequencer != "jack" && config.input != "jack")
        config.backend = "none";
    return config;
}

// --- The input meter -----------------------------------------------------------

void InputMeter::period(std::int64_t start, const float *frames) {
    Heard heard{start, {0, 0}};
    long long clipped = 0;
    for (std::size_t i = 0; i < std::size_t(kPeriodFrames) * audio::kChannels; ++i) {
        const float v = std::fabs(frames[i]);
        heard.loudest[i % 2] = std::max(heard.loudest[i % 2], v);
        clipped += v >= kFullScale;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    periods_.push_back(heard);
    if (periods_.size() > kKeptPeriods)
        periods_.pop_front();
    peak_ = std::max({peak_, heard.loudest[0], heard.loudest[1]});
    clipped_ += clipped;
}

std::int64_t InputMeter::heardUpTo() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return periods_.empty() ? -1 : periods_.back().start + kPeriodFrames;
}

float InputMeter::loudestSince(std::int64_t frame, int side) const {
    std::lock_guard<std::mutex> guard(mutex_);
    float loudest = 0;
    for (auto it = periods_.rbegin(); it != periods_.rend() && it->start + kPeriodFrames > frame;
         ++it)
        loudest = std::max(loudest,
                           side < 0 ? std::max(it->loudest[0], it->loudest[1]) : it->loudest[side]);
    return loudest;
}

std::int64_t InputMeter::quietSince(float level) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = periods_.rbegin(); it != periods_.rend(); ++it)
        if (std::max(it->loudest[0], it->loudest[1]) > level)
            return it->start + kPeriodFrames;
    return periods_.empty() ? INT64_MAX : periods_.front().start;
}

float InputMeter::peak() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return peak_;
}

long long InputMeter::clipped() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return clipped_;
}

void InputMeter::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    peak_ = 0;
    clipped_ = 0;
}

// --- The rig -------------------------------------------------------------------

// Messages sent at their frames on the engine's blocks, in the order of
// their frames, as the sequencer sends a song's.
class LiveRig::Messages : public audio::EngineSource {
public:
    void beforeBlock(std::int64_t blockStart, audio::MidiTarget &target) override {
        const std::int64_t blockEnd = blockStart + 64;
        while (!queue_.empty() && queue_.front().frame < blockEnd) {
            const Queued &q = queue_.front();
            target.send(q.event, std::max(q.frame, blockStart), q.sysex.data());
            queue_.pop_front();
        }
    }
    struct Queued {
        std::int64_t frame;
        MidiEvent event;
        std::vector<std::uint8_t> sysex;
    };
    std::deque<Queued> queue_; // guarded by the engine lock
};

LiveRig::LiveRig(std::shared_ptr<audio::Engine> engine, ResetKind reset)
    : engine_(std::move(engine)), reset_(reset), messages_(std::make_unique<Messages>()) {
    std::lock_guard<std::mutex> guard(engine_->lock());
    engine_->addSink(&meter_);
    engine_->addSource(messages_.get());
}

LiveRig::~LiveRig() {
    std::lock_guard<std::mutex> guard(engine_->lock());
    engine_->removeSource(messages_.get());
    engine_->removeSink(&meter_);
}

std::string LiveRig::problem() const {
    // The engine's messages name devices.ini; an option may have named the port.
    auto namedBy = [](std::string message, const std::string &option) {
        const std::string file = " named in " + paths::devicesFile();
        if (const auto at = message.find(file); !option.empty() && at != std::string::npos)
            message.replace(at, file.size(), " given with " + option);
        return message;
    };
    const std::string &sequencer = engine_->sequencerError(), &input = engine_->inputError();
    // One JACK client carries both: its one reason is told of the port it names.
    const auto why = [](const std::string &message) {
        const auto at = message.rfind("cannot be used: ");
        return at == std::string::npos ? message : message.substr(at);
    };
    const bool inputsFault = !input.empty() && why(sequencer) == why(input) &&
                             why(input).find(engine_->settings().devices.port) == std::string::npos;
    if (!sequencer.empty() && !inputsFault)
        return namedBy(sequencer, portNamedBy_);
    if (!input.empty())
        return namedBy(input, inputNamedBy_);
    if (engine_->outsideSynthesiser() && !engine_->capturing())
        return "the outside synthesiser on \"" + engine_->settings().devices.port +
               "\" is heard through no input: give --input, or [WaveIn] Input in " +
               paths::devicesFile();
    return {};
}

std::int64_t LiveRig::startFrame() {
    std::lock_guard<std::mutex> guard(engine_->lock());
    return engine_->nextPeriodFrame() + kPeriodFrames;
}

void LiveRig::sendAt(std::int64_t frame, const MidiEvent &event,
                     const std::vector<std::uint8_t> &sysex) {
    std::lock_guard<std::mutex> guard(engine_->lock());
    MidiEvent e = event;
    if (!sysex.empty()) {
        e.status = 0xF0;
        e.sysexOffset = 0;
        e.sysexLength = std::uint32_t(sysex.size());
    }
    auto &queue = messages_->queue_;
    auto at =
        std::upper_bound(queue.begin(), queue.end(), frame,
                         [](std::int64_t f, const Messages::Queued &q) { return f < q.frame; });
    queue.insert(at, Messages::Queued{frame, e, sysex});
}

void LiveRig::waitUntilSent(std::int64_t frame) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (engine_->now() < frame + kSentAfter && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void LiveRig::reset() {
    std::int64_t frame = startFrame();
    if (reset_ != ResetKind::None) {
        sendAt(frame, MidiEvent{}, resetMessage(reset_));
        frame += kAfterSysex;
    }
    for (int channel = 0; channel < 16; ++channel) {
        sendAt(frame, channelEvent(0xB0, channel, 64, 0));   // the sustain pedal up
        sendAt(frame, channelEvent(0xB0, channel, 123, 0));  // all notes off
        sendAt(frame, channelEvent(0xB0, channel, 120, 0));  // all sound off
        sendAt(frame, channelEvent(0xB0, channel, 121, 0));  // every controller back
        sendAt(frame, channelEvent(0xE0, channel, 0, 0x40)); // the pitch bend at its centre
    }
    waitUntilSent(frame);
}

void LiveRig::silence() {
    const std::int64_t frame = startFrame();
    for (int channel = 0; channel < 16; ++channel) {
        sendAt(frame, channelEvent(0xB0, channel, 64, 0));
        sendAt(frame, channelEvent(0xB0, channel, 123, 0));
        sendAt(frame, channelEvent(0xB0, channel, 120, 0));
    }
    waitUntilSent(frame);
}

std::string LiveRig::measureFloor(float &floor) {
    reset();
    const std::int64_t from = startFrame();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (meter_.heardUpTo() < from + kSampleRate) {
        if (std::chrono::steady_clock::now() > until)
            return "the input " + engine_->settings().devices.inputDevice +
                   " delivers nothing: is its server running?";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int side : {0, 1})
        floor_[side] = meter_.loudestSince(from, side);
    floor = std::max(floor_[0], floor_[1]);
    return {};
}

bool LiveRig::hearsANote() {
    const std::int64_t frame = startFrame() + kSampleRate / 10;
    const std::int64_t off = frame + kSampleRate * 3 / 10;
    // A wood block on the drum channel, which every standard's modules
    // play, and a chord on channels 1 and 2 (the first part of an MT-32).
    sendAt(frame, channelEvent(0x90, 9, 76, 127));
    sendAt(off, channelEvent(0x80, 9, 76, 0));
    for (int channel : {0, 1})
        for (int note : {60, 64, 67}) {
            sendAt(frame, channelEvent(0x90, channel, note, 127));
            sendAt(off, channelEvent(0x80, channel, note, 0));
        }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (meter_.heardUpTo() < frame + kSampleRate && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int side : {0, 1})
        if (meter_.loudestSince(frame - kPeriodFrames, side) > std::max(4 * floor_[side], 0.001f))
            return true;
    return false;
}

bool LiveRig::waitForQuiet(float floor, double seconds) {
    const float level = std::max(2 * floor, audio::kQuietLevel); // the floor + 6 dB
    const std::int64_t from = startFrame();
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::llround(seconds * 1000));
    for (;;) {
        const std::int64_t heard = meter_.heardUpTo();
        if (heard - std::max(from, meter_.quietSince(level)) >= kQuietFrames)
            return true;
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void LiveRig::playChord(const std::vector<int> &chord, double seconds) {
    const std::int64_t frame = startFrame();
    const std::int64_t off = frame + std::llround(seconds * kSampleRate);
    for (int note : chord) {
        sendAt(frame, channelEvent(0x90, 0, note, 127));
        sendAt(off, channelEvent(0x80, 0, note, 0));
    }
}

// --- The level check -------------------------------------------------------------

namespace {

std::atomic<bool> g_levelStop{false};

void onLevelStop(int) {
    g_levelStop = true;
}

} // namespace

int runLevelCheck(const Request &request) {
    audio::EngineSettings settings;
    settings.clock = audio::EngineClock::Steady;
    settings.devices = liveDevices(request);
    settings.soundFont = request.soundFont;
    auto engine = std::make_shared<audio::Engine>(settings);
    std::string error;
    if (!engine->outsideSynthesiser() && !engine->ensureSynthesiser(error)) {
        std::fprintf(stderr, "kestrune-render: %s\n", error.c_str());
        return 1;
    }
    ResetKind reset = ResetKind::Gm;
    parseReset(request.reset, reset);
    LiveRig rig(engine, reset);
    if (const std::string problem = rig.problem(); !problem.empty()) {
        std::fprintf(stderr, "kestrune-render: %s\n", problem.c_str());
        return 1;
    }
    {
        std::lock_guard<std::mutex> guard(engine->lock());
        engine->startSynthesiser(engine->nextPeriodFrame());
    }
    struct sigaction action {};
    action.sa_handler = onLevelStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    rig.reset();
    std::fprintf(stderr,
                 "Playing a loud chord sequence through %s, heard through %s. Set the "
                 "instrument's volume and the input's gain; press Enter when done.\n",
                 settings.devices.outsideSynthesiser() ? settings.devices.port.c_str()
                                                       : "the internal synthesiser",
                 settings.devices.realInput() ? settings.devices.inputDevice.c_str()
                                              : "the loopback");
    // C, F, G7 and C again, half a second each, then half a second's rest.
    const std::vector<std::vector<int>> chords = {
        {48, 60, 64, 67, 72}, {53, 60, 65, 69, 72}, {55, 59, 65, 67, 71}, {48, 60, 64, 67, 72}};
    auto nextChord = std::chrono::steady_clock::now();
    std::size_t chord = 0;
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    auto nextLine = std::chrono::steady_clock::now();
    bool ended = false;
    while (!ended && !g_levelStop) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextChord) {
            rig.playChord(chords[chord], 0.45);
            nextChord = now + std::chrono::milliseconds(chord + 1 == chords.size() ? 1000 : 500);
            chord = (chord + 1) % chords.size();
        }
        // The meter: the loudest of the last 0.3 s, redrawn ten times a
        // second on a terminal (a line a second elsewhere), and the loudest
        // since the start.
        if (now >= nextLine) {
            nextLine = now + std::chrono::milliseconds(terminal ? 100 : 1000);
            const float level =
                rig.meter().loudestSince(rig.meter().heardUpTo() - kSampleRate * 3 / 10);
            const int width = 30;
            const float db = std::max(-60.0f, dbfs(level));
            const int filled = int(std::lround((db + 60) / 60 * width));
            char line[200];
            std::snprintf(line, sizeof line, "%s[%s%s] %6.1f dBFS   peak %6.1f dBFS%s%s",
                          terminal ? "\r\x1b[K" : "", std::string(std::size_t(filled), '#').c_str(),
                          std::string(std::size_t(width - filled), '-').c_str(), double(db),
                          double(std::max(-99.9f, dbfs(rig.meter().peak()))),
                          rig.meter().clipped() > 0 ? "   CLIPPING" : "", terminal ? "" : "\n");
            platform::writeAll(STDERR_FILENO, line, std::strlen(line));
        }
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (::poll(&in, 1, 50) > 0) {
            char buffer[256];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            ended = n <= 0 || std::find(buffer, buffer + n, '\n') != buffer + n;
        }
    }
    rig.silence();
    std::fprintf(stderr, "%sPeak %.1f dBFS%s\n", terminal ? "\n" : "",
                 double(std::max(-99.9f, dbfs(rig.meter().peak()))),
                 rig.meter().clipped() > 0 ? ": the input clipped; turn it down" : "");
    return g_levelStop ? 130 : 0;
}

} // namespace render
