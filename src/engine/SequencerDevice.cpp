// The sequencer's events handed out on the engine's 64-frame blocks, the end
// of a song, stops and seeks.
#include "engine/SequencerDevice.h"

#include "engine/MidiTarget.h"
#include "engine/Synthesiser.h"

#include <algorithm>
#include <utility>

namespace audio {
namespace {

bool isNote(const MidiEvent &e) {
    const int kind = e.status & 0xF0;
    return kind == 0x80 || kind == 0x90 || kind == 0xA0;
}

} // namespace

SequencerDevice::SequencerDevice(std::shared_ptr<Engine> engine) : engine_(std::move(engine)) {}

SequencerDevice::~SequencerDevice() {
    close();
}

std::int64_t SequencerDevice::framesOf(std::int64_t us) const {
    return songFrameOf(us, engine_->sampleRate());
}

bool SequencerDevice::open(const std::string &file, std::string &error) {
    close();
    try {
        song_ = readMidiFile(file);
    } catch (const MidiFileError &e) {
        error = "\"" + file + "\" cannot be played as a Standard MIDI File: " + e.what();
        return false;
    } catch (const std::bad_alloc &) {
        error = "\"" + file + "\" is too large to be played";
        return false;
    }
    return start(error);
}

bool SequencerDevice::open(const MidiSong &song, std::string &error) {
    close();
    song_ = song;
    return start(error);
}

bool SequencerDevice::start(std::string &error) {
    error = engine_->sequencerError();
    // An outside synthesiser has a SoundFont of its own.
    if (error.empty() && !engine_->outsideSynthesiser())
        engine_->ensureSynthesiser(error, 16 * song_.ports);
    if (!error.empty())
        return false;
    std::lock_guard<std::mutex> guard(engine_->lock());
    if (Synthesiser *synth = engine_->synthesiser(); synth && !engine_->outsideSynthesiser()) {
        std::vector<bool> sounds;
        for (const SongChannel &channel : song_.channels)
            sounds.push_back(channel.sounds);
        synth->restEffects(sounds);
    }
    if (MidiTarget *target = engine_->midiTarget())
        target->reset(engine_->nextPeriodFrame());
    positionUs_ = 0;
    engine_->addSource(this);
    open_ = true;
    return true;
}

void SequencerDevice::close() {
    if (!open_)
        return;
    EndFunction ended;
    {
        std::lock_guard<std::mutex> guard(engine_->lock());
        ended = haltLocked();
        engine_->songStopped(); // a song that played to its end, too
        engine_->removeSource(this);
    }
    open_ = false;
    if (ended)
        ended(End::Stopped);
}

SequencerDevice::EndFunction SequencerDevice::haltLocked() {
    if (!playing_)
        return {};
    // Playback stops where the clock stands, not where the engine last rendered.
    engine_->catchUp();
    if (!playing_)
        return {}; // the song ended on the way
    positionUs_ = positionUsLocked();
    endFrame_ = engine_->framesRendered();
    playing_ = false;
    engine_->songStopped();
    if (MidiTarget *target = engine_->midiTarget())
        target->allNotesOff(engine_->nextPeriodFrame());
    return std::exchange(ended_, {});
}

void SequencerDevice::endLocked(End end) {
    playing_ = false;
    if (EndFunction ended = std::exchange(ended_, {}))
        ended(end);
}

void SequencerDevice::play(EndFunction ended) {
    std::lock_guard<std::mutex> guard(engine_->lock());
    haltLocked();
    const std::int64_t start = engine_->nextPeriodFrame();
    positionUs_ = std::min(positionUs_, song_.lengthUs);
    playStartFrame_ = start - framesOf(positionUs_);
    endFrame_ = playStartFrame_ + framesOf(song_.lengthUs);
    // Events before the position are skipped; what they set up (programs,
    // controllers) is sent again before the first block.
    nextEvent_ = static_cast<std::size_t>(
        std::lower_bound(song_.events.begin(), song_.events.end(), positionUs_,
                         [](const MidiEvent &e, std::int64_t us) { return e.timeUs < us; }) -
        song_.events.begin());
    chase_ = nextEvent_ > 0;
    playing_ = true;
    ended_ = std::move(ended);
    if (MidiTarget *target = engine_->midiTarget(); target && target->synthesiser())
        engine_->startSynthesiser(start);
    engine_->songStarted(start);
}

void SequencerDevice::stop() {
    EndFunction ended;
    {
        std::lock_guard<std::mutex> guard(engine_->lock());
        ended = haltLocked();
    }
    if (ended)
        ended(End::Stopped);
}

void SequencerDevice::seekTo(std::int64_t us) {
    EndFunction ended;
    {
        std::lock_guard<std::mutex> guard(engine_->lock());
        ended = haltLocked();
        positionUs_ = std::clamp<std::int64_t>(us, 0, song_.lengthUs);
    }
    if (ended)
        ended(End::Stopped);
}

bool SequencerDevice::playing() {
    std::lock_guard<std::mutex> guard(engine_->lock());
    return playing_;
}

std::int64_t SequencerDevice::positionUsLocked() const {
    if (!playing_)
        return positionUs_;
    const std::int64_t frames = engine_->framesRendered() - playStartFrame_;
    const std::int64_t us = frames * 1000000 / engine_->sampleRate();
    // Before the first period of a resumed play, it stands where it was.
    return std::clamp<std::int64_t>(us, positionUs_, song_.lengthUs);
}

std::int64_t SequencerDevice::positionUs() {
    std::lock_guard<std::mutex> guard(engine_->lock());
    return positionUsLocked();
}

std::int64_t SequencerDevice::startFrame() {
    std::lock_guard<std::mutex> guard(engine_->lock());
    return playStartFrame_;
}

std::int64_t SequencerDevice::endFrame() {
    std::lock_guard<std::mutex> guard(engine_->lock());
    return endFrame_;
}

bool SequencerDevice::idleAt(std::int64_t blockStart) const {
    // As beforeBlock() reads it: not yet playing from here, or nothing to
    // send, no chase, no end and nothing broken within the block.
    if (!playing_ || blockStart < playStartFrame_ + framesOf(positionUs_))
        return true;
    const std::int64_t blockEnd = blockStart + Synthesiser::kBlockFrames;
    return !engine_->broken() && !chase_ &&
           (nextEvent_ == song_.events.size() ||
            playStartFrame_ + framesOf(song_.events[nextEvent_].timeUs) >= blockEnd) &&
           playStartFrame_ + framesOf(song_.lengthUs) >= blockEnd;
}

void SequencerDevice::beforeBlock(std::int64_t blockStart, MidiTarget &target) {
    if (!playing_ || blockStart < playStartFrame_ + framesOf(positionUs_))
        return;
    if (engine_->broken()) {
        // The outside synthesiser or the input went away: playback ends,
        // failed, and the run saves what it has.
        positionUs_ = positionUsLocked();
        endFrame_ = blockStart;
        endLocked(End::Failed);
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
    const std::int64_t blockEnd = blockStart + Synthesiser::kBlockFrames;
    while (nextEvent_ < song_.events.size()) {
        const std::int64_t frame = playStartFrame_ + framesOf(song_.events[nextEvent_].timeUs);
        if (frame >= blockEnd)
            break;
        target.send(song_.events[nextEvent_++], std::max(frame, blockStart), sysex);
    }
    if (playStartFrame_ + framesOf(song_.lengthUs) < blockEnd) {
        positionUs_ = song_.lengthUs;
        endLocked(End::Finished);
    }
}

} // namespace audio
