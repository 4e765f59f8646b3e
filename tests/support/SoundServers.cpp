#include "support/SoundServers.h"

#include "engine/MidiAlsa.h"

#include <jack/jack.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace test {
namespace {

bool waitUntil(const std::function<bool()> &done, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string privateFolder(const char *what) {
    std::string folder = "/tmp/kestrune-" + std::string(what) + "-XXXXXX";
    if (!::mkdtemp(folder.data()))
        return {};
    return folder;
}

} // namespace

Process::Process(const std::vector<std::string> &command,
                 const std::vector<std::string> &environment, const std::string &output,
                 bool input) {
    // This process's environment, with `environment` over it.
    std::vector<std::string> env = environment;
    for (char **e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string key = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string &own : environment)
            replaced = replaced || own.rfind(key, 0) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    std::vector<char *> argv, envp;
    for (const std::string &a : command)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipe[2] = {-1, -1};
    if (input && ::pipe2(pipe, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, pipe[0], STDIN_FILENO);
        input_ = pipe[1];
    }
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pipe[0] >= 0)
        ::close(pipe[0]);
}

Process::~Process() {
    end(SIGTERM);
}

bool Process::running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void Process::end(int signal) {
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
    if (pid_ <= 0)
        return;
    ::kill(pid_, signal);
    // Given a moment to go; then no more choice.
    if (!waitUntil([&] { return !running(); }, 3000)) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

PulseServer::PulseServer() : runtime_(privateFolder("pulse")) {
    if (runtime_.empty())
        return;
    const std::string socket = runtime_ + "/native";
    server_ = new Process(
        {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
         "--use-pid-file=no", "--system=no", "-L",
         "module-native-protocol-unix socket=" + socket + " auth-anonymous=1", "-L",
         "module-null-sink sink_name=" + sink_ + " rate=44100 channels=2"},
        {"XDG_RUNTIME_DIR=" + runtime_, "HOME=" + runtime_, "XDG_CONFIG_HOME=" + runtime_});
    ::setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    const auto started = std::chrono::steady_clock::now();
    ready_ = waitUntil(
        [&] {
            return std::system(("pactl list short sinks 2>/dev/null | grep -q " + sink_).c_str()) ==
                   0;
        },
        10000);
    // A null sink younger than about two seconds stalls its monitor for the
    // rest of those seconds when a low-latency stream joins (its thread
    // sleeps out its first long block): the tests wait that out.
    std::this_thread::sleep_until(started + std::chrono::seconds(3));
}

PulseServer::~PulseServer() {
    delete server_;
    ::unsetenv("PULSE_SERVER");
    std::error_code ignored;
    std::filesystem::remove_all(runtime_, ignored);
}

void PulseServer::kill() {
    if (server_)
        server_->end(SIGKILL);
}

PulseServer::Capture::Capture(const PulseServer &server) : file_(server.runtime_ + "/heard.raw") {
    parec_ = new Process({"parec", "--device=" + server.sink_ + ".monitor", "--rate=44100",
                          "--channels=2", "--format=float32le", "--latency-msec=20", "--raw"},
                         {}, file_);
    // parec is listening once the server counts its stream.
    waitUntil(
        [&] { return std::system("pactl list short source-outputs 2>/dev/null | grep -q .") == 0; },
        5000);
}

std::vector<float> PulseServer::Capture::stop() {
    delete parec_;
    parec_ = nullptr;
    std::ifstream in(file_, std::ios::binary);
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

// One name for every test server: a server killed outright leaves its name
// in JACK's registry, whose few places a new name each time would fill up;
// the same name takes its dead namesake's place.
JackServer::JackServer(int period) : name_("kestrune_test") {
    server_ = new Process({"jackd", "--no-realtime", "-n", name_, "-d", "dummy", "-r", "44100",
                           "-p", std::to_string(period)},
                          {"JACK_NO_AUDIO_RESERVATION=1"});
    ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    jack_set_error_function([](const char *) {});
    jack_set_info_function([](const char *) {});
    ready_ = waitUntil(
        [&] {
            jack_status_t status{};
            jack_client_t *probe = jack_client_open("probe", JackNoStartServer, &status);
            if (probe)
                jack_client_close(probe);
            return probe != nullptr;
        },
        10000);
}

JackServer::~JackServer() {
    delete server_;
    ::unsetenv("JACK_DEFAULT_SERVER");
}

void JackServer::kill() {
    if (server_)
        server_->end(SIGKILL);
}

OutsideSynth::OutsideSynth(const std::string &name, const std::string &pulseSink, bool onAlsa)
    : name_(name), onAlsa_(onAlsa) {
    std::vector<std::string> command = {"fluidsynth", "-r", "44100"};
    if (onAlsa)
        command.insert(command.end(), {"-m", "alsa_seq", "-o", "midi.alsa_seq.id=" + name});
    else
        command.insert(command.end(), {"-m", "jack", "-o", "midi.jack.id=" + name});
    if (pulseSink.empty()) {
        command.insert(command.end(), {"-a", "jack", "-o", "audio.jack.id=" + name});
    } else {
        command.insert(command.end(),
                       {"-a", "pulseaudio", "-o", "audio.pulseaudio.device=" + pulseSink});
    }
    command.push_back("/usr/share/sounds/sf2/TimGM6mb.sf2");
    const auto portsUp = [&] {
        if (onAlsa) {
            std::string error;
            for (const audio::OutputDevice &port : audio::alsaMidiInputs(error))
                if (port.name == midiPort())
                    return true;
            return false;
        }
        jack_status_t status{};
        jack_client_t *probe = jack_client_open("probe", JackNoStartServer, &status);
        if (!probe)
            return false;
        jack_port_t *port = jack_port_by_name(probe, midiPort().c_str());
        jack_port_t *left = jack_port_by_name(probe, (name_ + ":left").c_str());
        jack_client_close(probe);
        return port && (left || !pulseSink.empty());
    };
    // Ready once its MIDI port and its sound (into PulseAudio: its stream)
    // are there and it still runs; one that quit on a busy machine is
    // started once more.
    const auto soundUp = [&] {
        return pulseSink.empty() ||
               std::system("pactl list short sink-inputs 2>/dev/null | grep -q .") == 0;
    };
    for (int attempt = 0; attempt < 2 && !ready_; ++attempt) {
        delete synth_;
        // Its shell reads the pipe: it plays until the pipe closes.
        synth_ = new Process(command, {}, "/dev/null", true);
        ready_ = waitUntil([&] { return !synth_->running() || (portsUp() && soundUp()); }, 10000) &&
                 synth_->running();
    }
}

OutsideSynth::~OutsideSynth() {
    delete synth_;
}

void OutsideSynth::kill() {
    if (synth_)
        synth_->end(SIGKILL);
}

JackHiss::JackHiss(float peak) : peak_(peak) {
    jack_status_t status{};
    client_ = jack_client_open("KestruneHiss", JackNoStartServer, &status);
    if (!client_)
        return;
    port_ = jack_port_register(client_, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(client_, &JackHiss::process, this);
    jack_activate(client_);
}

JackHiss::~JackHiss() {
    if (client_) {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
}

int JackHiss::process(unsigned frames, void *self) {
    auto *hiss = static_cast<JackHiss *>(self);
    auto *out = static_cast<float *>(jack_port_get_buffer(hiss->port_, frames));
    for (unsigned i = 0; i < frames; ++i) {
        hiss->noise_ = hiss->noise_ * 1664525u + 1013904223u;
        out[i] = hiss->peak_ * (float(hiss->noise_ >> 8) / float(1u << 23) - 1.0f);
    }
    return 0;
}

JackListener::JackListener() : buffer_(std::size_t(44100) * 2 * 60) {
    jack_status_t status{};
    client_ = jack_client_open("KestruneTest", JackNoStartServer, &status);
    if (!client_)
        return;
    ports_[0] = jack_port_register(client_, "in_left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    ports_[1] =
        jack_port_register(client_, "in_right", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, &JackListener::process, this);
    jack_set_xrun_callback(
        client_,
        [](void *self) {
            ++static_cast<JackListener *>(self)->xruns_;
            return 0;
        },
        this);
    jack_activate(client_);
}

JackListener::~JackListener() {
    if (client_) {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
}

int JackListener::process(unsigned frames, void *self) {
    auto *listener = static_cast<JackListener *>(self);
    const auto *left =
        static_cast<const float *>(jack_port_get_buffer(listener->ports_[0], frames));
    const auto *right =
        static_cast<const float *>(jack_port_get_buffer(listener->ports_[1], frames));
    const std::size_t at = listener->frames_.load(std::memory_order_relaxed);
    const std::size_t room = listener->buffer_.size() / 2 - at;
    const std::size_t n = std::min<std::size_t>(frames, room);
    for (std::size_t i = 0; i < n; ++i) {
        listener->buffer_[2 * (at + i)] = left[i];
        listener->buffer_[2 * (at + i) + 1] = right[i];
    }
    listener->frames_.store(at + n, std::memory_order_release);
    return 0;
}

std::vector<float> JackListener::heard() const {
    const std::size_t n = frames_.load(std::memory_order_acquire);
    return {buffer_.begin(), buffer_.begin() + std::ptrdiff_t(2 * n)};
}

} // namespace test
