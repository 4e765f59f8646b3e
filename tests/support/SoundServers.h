// Sound servers of the tests' own: a PulseAudio with a null sink in a
// private runtime folder, a JACK dummy server under a name of its own, and a
// JACK client that listens. Each is started by the test and ended by its
// process id; the program under test finds them through the environment.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;

namespace test {

/// A started process, ended (SIGTERM, then SIGKILL) and reaped at the end.
class Process {
public:
    /// With `input`, its standard input is a pipe held open until it ends
    /// (a program that reads commands there keeps running).
    Process(const std::vector<std::string> &command, const std::vector<std::string> &environment,
            const std::string &output = "/dev/null", bool input = false);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    pid_t pid() const { return pid_; }
    bool running();
    /// Ends it with `signal` and waits for it.
    void end(int signal);

private:
    pid_t pid_ = -1;
    int input_ = -1;
};

/// `pulseaudio -n` with the native protocol and a null sink "kestrune_test"
/// at 44100 Hz. While it lives, PULSE_SERVER names it to this process.
class PulseServer {
public:
    PulseServer();
    ~PulseServer();
    bool ready() const { return ready_; }
    const std::string &sink() const { return sink_; }
    /// Kills it at once, as a crash would.
    void kill();
    pid_t pid() const { return server_ ? server_->pid() : -1; }

    /// The null sink's monitor, recorded by parec while it lives: 44100 Hz
    /// stereo float.
    class Capture {
    public:
        explicit Capture(const PulseServer &server);
        /// Stops recording and returns what was heard (interleaved).
        std::vector<float> stop();

    private:
        std::string file_;
        Process *parec_;
    };

private:
    std::string runtime_;
    std::string sink_ = "kestrune_test";
    Process *server_ = nullptr;
    bool ready_ = false;
};

/// `jackd --no-realtime -d dummy -r 44100 -p 256` named "kestrune_test",
/// which JACK_DEFAULT_SERVER gives this process while it lives.
class JackServer {
public:
    explicit JackServer(int period = 256);
    ~JackServer();
    bool ready() const { return ready_; }
    void kill();

private:
    std::string name_;
    Process *server_ = nullptr;
    bool ready_ = false;
};

/// An outside synthesiser: `fluidsynth` as a process of its own with
/// TimGM6mb, taking MIDI from JACK as "<name>:midi_00" (or, `onAlsa`, from
/// the ALSA sequencer as "FLUID Synth (<name>):0"), and playing either
/// through JACK ("<name>:left", "<name>:right") or into the PulseAudio sink
/// `pulseSink`.
class OutsideSynth {
public:
    explicit OutsideSynth(const std::string &name, const std::string &pulseSink = "",
                          bool onAlsa = false);
    ~OutsideSynth();
    bool ready() const { return ready_; }
    std::string midiPort() const {
        return onAlsa_ ? "FLUID Synth (" + name_ + "):0" : name_ + ":midi_00";
    }
    std::string audioPorts() const { return name_ + ":left," + name_ + ":right"; }
    /// Kills it at once, as a crash would.
    void kill();

private:
    std::string name_;
    bool onAlsa_;
    Process *synth_ = nullptr;
    bool ready_ = false;
};

/// A JACK client "KestruneHiss" whose one output port, "out", plays white
/// noise that never passes `peak`: an input's floor of its own.
class JackHiss {
public:
    explicit JackHiss(float peak);
    ~JackHiss();
    bool ready() const { return client_ != nullptr; }

private:
    static int process(unsigned frames, void *self);
    float peak_;
    std::uint32_t noise_ = 1;
    jack_client_t *client_ = nullptr;
    jack_port_t *port_ = nullptr;
};

/// A JACK client with two input ports, "KestruneTest:in_left" and
/// "KestruneTest:in_right", that keeps what reaches them.
class JackListener {
public:
    JackListener();
    ~JackListener();
    bool ready() const { return client_ != nullptr; }
    /// What it heard so far, interleaved stereo.
    std::vector<float> heard() const;
    /// How often the server ran late (then what was heard has gaps).
    long xruns() const { return xruns_.load(); }

private:
    static int process(unsigned frames, void *self);
    std::atomic<long> xruns_{0};
    jack_client_t *client_ = nullptr;
    jack_port_t *ports_[2] = {nullptr, nullptr};
    std::vector<float> buffer_;
    std::atomic<std::size_t> frames_{0};
};

} // namespace test
