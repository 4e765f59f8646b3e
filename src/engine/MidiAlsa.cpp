// The ALSA sequencer client: a port connected to the synthesiser's, a queue
// started with the engine, and each event scheduled at its frame's time.
#include "engine/MidiAlsa.h"

#include "engine/Engine.h"

namespace audio {

std::uint64_t alsaQueueNanoseconds(std::int64_t frame, std::int64_t queueStart, std::int64_t lead) {
    const std::int64_t frames = std::max<std::int64_t>(0, frame - queueStart + lead);
    // Whole seconds and the rest, so that long songs keep nanosecond sums exact.
    return std::uint64_t(frames / kSampleRate) * 1000000000ull +
           std::uint64_t(frames % kSampleRate) * 1000000000ull / std::uint64_t(kSampleRate);
}

bool alsaEventFor(const MidiEvent &event, const std::uint8_t *sysex, snd_seq_event_t &ev) {
    snd_seq_ev_clear(&ev);
    const unsigned char channel = event.status & 0x0F;
    switch (event.status & 0xF0) {
    case 0x80:
        snd_seq_ev_set_noteoff(&ev, channel, event.data1, event.data2);
        return true;
    case 0x90:
        snd_seq_ev_set_noteon(&ev, channel, event.data1, event.data2);
        return true;
    case 0xA0:
        snd_seq_ev_set_keypress(&ev, channel, event.data1, event.data2);
        return true;
    case 0xB0:
        snd_seq_ev_set_controller(&ev, channel, event.data1, event.data2);
        return true;
    case 0xC0:
        snd_seq_ev_set_pgmchange(&ev, channel, event.data1);
        return true;
    case 0xD0:
        snd_seq_ev_set_chanpress(&ev, channel, event.data1);
        return true;
    case 0xE0:
        snd_seq_ev_set_pitchbend(&ev, channel, (event.data1 | (event.data2 << 7)) - 8192);
        return true;
    default:
        break;
    }
    if (event.status == 0xF0 && sysex) {
        // The message with its framing bytes; the bytes must outlive the
        // output call, which copies them.
        static thread_local std::vector<std::uint8_t> bytes;
        bytes.assign(1, 0xF0);
        bytes.insert(bytes.end(), sysex + event.sysexOffset,
                     sysex + event.sysexOffset + event.sysexLength);
        bytes.push_back(0xF7);
        snd_seq_ev_set_sysex(&ev, unsigned(bytes.size()), bytes.data());
        return true;
    }
    return false;
}

std::vector<OutputDevice> alsaMidiInputs(std::string &error) {
    std::vector<OutputDevice> ports;
    snd_seq_t *seq = nullptr;
    if (const int result = snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, 0); result < 0) {
        error = std::string("the ALSA sequencer cannot be opened (") + snd_strerror(result) + ")";
        return ports;
    }
    snd_seq_client_info_t *client = nullptr;
    snd_seq_port_info_t *port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    const unsigned wanted = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    while (snd_seq_query_next_client(seq, client) >= 0) {
        const int number = snd_seq_client_info_get_client(client);
        if (number == SND_SEQ_CLIENT_SYSTEM)
            continue; // timers and announcements, no synthesiser
        snd_seq_port_info_set_client(port, number);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0) {
            if ((snd_seq_port_info_get_capability(port) & wanted) != wanted)
                continue;
            ports.push_back({std::string(snd_seq_client_info_get_name(client)) + ":" +
                                 std::to_string(snd_seq_port_info_get_port(port)),
                             snd_seq_port_info_get_name(port)});
        }
    }
    snd_seq_close(seq);
    return ports;
}

std::unique_ptr<AlsaMidi> AlsaMidi::open(Engine &engine, const std::string &port,
                                         std::string &error) {
    std::unique_ptr<AlsaMidi> midi(new AlsaMidi);
    int result = snd_seq_open(&midi->seq_, "default", SND_SEQ_OPEN_OUTPUT, 0);
    if (result < 0) {
        midi->seq_ = nullptr;
        error = std::string("the ALSA sequencer cannot be opened (") + snd_strerror(result) + ")";
        return nullptr;
    }
    snd_seq_set_client_name(midi->seq_, "Kestrune");
    midi->port_ = snd_seq_create_simple_port(
        midi->seq_, "Kestrune out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    snd_seq_addr_t to{};
    if (port.empty() || snd_seq_parse_address(midi->seq_, &to, port.c_str()) < 0) {
        error = port.empty() ? std::string("no sequencer port is named")
                             : "there is no ALSA sequencer port \"" + port + "\"";
        return nullptr;
    }
    midi->engine_ = &engine;
    midi->name_ = port;
    midi->to_ = to;
    if (midi->port_ < 0 || snd_seq_connect_to(midi->seq_, midi->port_, to.client, to.port) < 0) {
        error = "the ALSA sequencer port \"" + port + "\" refused the connection";
        return nullptr;
    }
    midi->queue_ = snd_seq_alloc_named_queue(midi->seq_, "Kestrune");
    if (midi->queue_ < 0) {
        error = "the ALSA sequencer has no queue to give";
        return nullptr;
    }
    snd_seq_start_queue(midi->seq_, midi->queue_, nullptr);
    snd_seq_drain_output(midi->seq_);
    midi->queueStart_ = engine.now();
    midi->queueStartedAt_ = std::chrono::steady_clock::now();
    return midi;
}

AlsaMidi::~AlsaMidi() {
    if (!seq_)
        return;
    if (queue_ >= 0) {
        snd_seq_stop_queue(seq_, queue_, nullptr);
        snd_seq_drain_output(seq_);
        snd_seq_free_queue(seq_, queue_);
    }
    snd_seq_close(seq_);
}

void AlsaMidi::checkPort(std::int64_t frame) {
    // A synthesiser that quits takes its port with it; looked for once a
    // second of events, so that a run does not go on playing to nobody.
    if (frame < nextCheck_)
        return;
    nextCheck_ = frame + kSampleRate;
    snd_seq_port_info_t *info = nullptr;
    snd_seq_port_info_alloca(&info);
    if (snd_seq_get_any_port_info(seq_, to_.client, to_.port, info) < 0)
        engine_->portLost("the ALSA sequencer port " + name_ + " went away during the recording");
}

std::uint64_t AlsaMidi::queueTime(std::int64_t frame) const {
    // The queue runs by the computer's clock, as the steady clock does.
    // The engine's frames are the input's: on the steady clock it keeps the
    // input's pace, and JACK's cycle is the input's clock. So each event
    // leaves the lead after the engine's clock reaches its frame, by that
    // clock's own reckoning: it sounds where the input is at that frame,
    // however far the sound card's clock is from the computer's. A clock
    // that does not tell (a PulseAudio output's) is taken at its nominal
    // rate from the queue's start.
    const auto at = engine_->timeOf(frame + kAlsaLeadFrames);
    if (!at)
        return alsaQueueNanoseconds(frame, queueStart_);
    const auto due = std::chrono::duration_cast<std::chrono::nanoseconds>(*at - queueStartedAt_);
    return std::uint64_t(std::max<std::int64_t>(0, due.count()));
}

void AlsaMidi::schedule(snd_seq_event_t &ev, std::int64_t frame) {
    checkPort(frame);
    const std::uint64_t ns = queueTime(frame);
    snd_seq_real_time_t time{unsigned(ns / 1000000000ull), unsigned(ns % 1000000000ull)};
    snd_seq_ev_set_source(&ev, static_cast<unsigned char>(port_));
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_schedule_real(&ev, static_cast<unsigned char>(queue_), 0, &time);
    snd_seq_event_output(seq_, &ev);
    snd_seq_drain_output(seq_);
}

void AlsaMidi::send(const MidiEvent &event, std::int64_t frame, const std::uint8_t *sysex) {
    snd_seq_event_t ev;
    if (alsaEventFor(event, sysex, ev))
        schedule(ev, frame);
}

void AlsaMidi::control(std::int64_t frame, int channel, unsigned number, int value) {
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_controller(&ev, static_cast<unsigned char>(channel), number, value);
    schedule(ev, frame);
}

void AlsaMidi::allNotesOff(std::int64_t frame) {
    for (int channel = 0; channel < 16; ++channel) {
        control(frame, channel, 64, 0);  // the sustain pedal up
        control(frame, channel, 123, 0); // all notes off
    }
}

void AlsaMidi::reset(std::int64_t frame) {
    for (int channel = 0; channel < 16; ++channel) {
        control(frame, channel, 120, 0); // all sound off
        control(frame, channel, 121, 0); // every controller back
    }
}

} // namespace audio
