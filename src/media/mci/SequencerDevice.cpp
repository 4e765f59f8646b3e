// Sequencer device: event dispatch on the engine's 64-frame blocks, end of
// song detection and its notice, stop and rewind.
#include "media/mci/SequencerDevice.h"

#include "engine/MidiTarget.h"
#include "engine/SoundSystem.h"
#include "engine/Synthesiser.h"

#include <algorithm>

namespace mci {
namespace {

std::int64_t frameOf(std::int64_t us, int rate) {
    return us * rate / 1000000;
}

DWORD_PTR millisecondsOf(std::int64_t us) {
    return static_cast<DWORD_PTR>((us + 500) / 1000);
}

bool isNote(const audio::MidiEvent &e) {
    const int kind = e.status & 0xF0;
    return kind == 0x80 || kind == 0x90 || kind == 0xA0;
}

} // namespace

SequencerDevice::~SequencerDevice() {
    close();
}

MCIERROR SequencerDevice::open(const std::string &element) {
    try {
        song_ = audio::readMidiFile(element);
    } catch (const audio::MidiFileError &e) {
        return makeCustomError("\"" + element +
                               "\" cannot be played as a Standard MIDI File: " + e.what() + ".");
    } catch (const std::bad_alloc &) {
        return MCIERR_OUT_OF_MEMORY;
    }
    engine_ = audio::SoundSystem::current().acquire();
    std::string error = engine_->sequencerError();
    // An outside synthesiser has a SoundFont of its own.
    if (error.empty() && !engine_->outsideSynthesiser())
        engine_->ensureSynthesiser(error);
    if (!error.empty()) {
        engine_.reset();
        return makeCustomError(error + ".");
    }
    std::lock_guard<std::mutex> guard(engine_->lock());
    if (audio::MidiTarget *target = engine_->midiTarget())
        target->reset(engine_->nextPeriodFrame());
    engine_->addSource(this);
    return 0;
}

void SequencerDevice::close() {
    if (!engine_)
        return;
    {
        std::lock_guard<std::mutex> guard(engine_->lock());
        haltLocked();
        engine_->removeSource(this);
    }
    notice_.complete(MCI_NOTIFY_ABORTED);
    engine_.reset();
}

void SequencerDevice::haltLocked() {
    if (!playing_)
        return;
    // Playback stops where the clock stands, not where the engine last rendered.
    engine_->catchUp();
    if (!playing_)
        return; // the song ended on the way
    positionUs_ = positionUsLocked();
    playing_ = false;
    if (audio::MidiTarget *target = engine_->midiTarget())
        target->allNotesOff(engine_->nextPeriodFrame());
}

MCIERROR SequencerDevice::play(DWORD_PTR notifyWindow) {
    std::lock_guard<std::mutex> guard(engine_->lock());
    haltLocked();
    const std::int64_t start = engine_->nextPeriodFrame();
    if (positionUs_ >= song_.lengthUs)
        positionUs_ = song_.lengthUs;
    playStartFrame_ = start - frameOf(positionUs_, engine_->sampleRate());
    // Events before the position are skipped; what they set up (programs,
    // controllers) is sent again before the first block.
    nextEvent_ = static_cast<std::size_t>(
        std::lower_bound(song_.events.begin(), song_.events.end(), positionUs_,
                         [](const audio::MidiEvent &e, std::int64_t us) { return e.timeUs < us; }) -
        song_.events.begin());
    chase_ = nextEvent_ > 0;
    playing_ = true;
    if (audio::MidiTarget *target = engine_->midiTarget(); target && target->synthesiser())
        engine_->startSynthesiser(start);
    engine_->lastPlayStartFrame.store(start);
    notice_.arm(notifyWindow, id());
    return 0;
}

MCIERROR SequencerDevice::stop() {
    {
        std::lock_guard<std::mutex> guard(engine_->lock());
        haltLocked();
    }
    notice_.complete(MCI_NOTIFY_ABORTED);
    return 0;
}

MCIERROR SequencerDevice::seekToStart() {
    return seekTo(0);
}

MCIERROR SequencerDevice::seekTo(DWORD position) {
    {
        std::lock_guard<std::mutex> guard(engine_->lock());
        haltLocked();
        positionUs_ = std::min<std::int64_t>(std::int64_t(position) * 1000, song_.lengthUs);
    }
    notice_.complete(MCI_NOTIFY_ABORTED);
    return 0;
}

std::int64_t SequencerDevice::positionUsLocked() const {
    if (!playing_)
        return positionUs_;
    const std::int64_t frames = engine_->framesRendered() - playStartFrame_;
    const std::int64_t us = frames * 1000000 / engine_->sampleRate();
    // Before the first period of a resumed play, it stands where it was.
    return std::clamp<std::int64_t>(us, positionUs_, song_.lengthUs);
}

MCIERROR SequencerDevice::setTimeFormat(DWORD format) {
    if (format != MCI_FORMAT_MILLISECONDS && format != MCI_FORMAT_SAMPLES)
        return MCIERR_BAD_TIME_FORMAT;
    timeFormat_ = format;
    return 0;
}

DWORD_PTR SequencerDevice::inTimeFormat(std::int64_t us) const {
    if (timeFormat_ == MCI_FORMAT_SAMPLES)
        return static_cast<DWORD_PTR>(frameOf(us, engine_->sampleRate()));
    return millisecondsOf(us);
}

MCIERROR SequencerDevice::status(DWORD item, DWORD_PTR &value) {
    std::lock_guard<std::mutex> guard(engine_->lock());
    switch (item) {
    case MCI_STATUS_LENGTH:
        value = inTimeFormat(song_.lengthUs);
        return 0;
    case MCI_STATUS_POSITION:
        value = inTimeFormat(positionUsLocked());
        return 0;
    case MCI_STATUS_MODE:
        value = playing_ ? MCI_MODE_PLAY : MCI_MODE_STOP;
        return 0;
    default:
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
}

MCIERROR SequencerDevice::capability(DWORD item, DWORD &value) {
    switch (item) {
    case MCI_GETDEVCAPS_CAN_PLAY:
        value = 1;
        return 0;
    case MCI_GETDEVCAPS_CAN_RECORD:
    case MCI_GETDEVCAPS_CAN_EJECT:
    case MCI_GETDEVCAPS_HAS_VIDEO:
        value = 0;
        return 0;
    case MCI_GETDEVCAPS_DEVICE_TYPE:
        value = MCI_DEVTYPE_SEQUENCER;
        return 0;
    default:
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
}

void SequencerDevice::beforeBlock(std::int64_t blockStart, audio::MidiTarget &target) {
    if (!playing_ || blockStart < playStartFrame_ + frameOf(positionUs_, engine_->sampleRate()))
        return;
    if (engine_->broken()) {
        // The outside synthesiser or the input went away: playback ends,
        // failed, and the run saves what it has.
        positionUs_ = positionUsLocked();
        playing_ = false;
        notice_.complete(MCI_NOTIFY_FAILURE);
        return;
    }
    const std::uint8_t *sysex = song_.sysex.data();
    if (chase_) {
        for (std::size_t i = 0; i < nextEvent_; ++i)
            if (!isNote(song_.events[i]))
                target.send(song_.events[i], blockStart, sysex);
        chase_ = false;
    }
    // Every event whose frame falls in this block goes now: the engine's
    // synthesiser plays it at the block's start, a port at its own frame.
    const std::int64_t blockEnd = blockStart + audio::Synthesiser::kBlockFrames;
    while (nextEvent_ < song_.events.size()) {
        const std::int64_t frame =
            playStartFrame_ + frameOf(song_.events[nextEvent_].timeUs, engine_->sampleRate());
        if (frame >= blockEnd)
            break;
        target.send(song_.events[nextEvent_++], std::max(frame, blockStart), sysex);
    }
    if (playStartFrame_ + frameOf(song_.lengthUs, engine_->sampleRate()) < blockEnd) {
        playing_ = false;
        positionUs_ = song_.lengthUs;
        notice_.complete(MCI_NOTIFY_SUCCESSFUL);
    }
}

} // namespace mci
