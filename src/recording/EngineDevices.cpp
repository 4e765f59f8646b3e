// The run's device steps as calls on the engine's own devices.
#include "recording/EngineDevices.h"

#include "platform/Exception.h"

#include <cmath>
#include <utility>

EngineDevices::EngineDevices(std::shared_ptr<audio::Engine> engine)
    : engine_(std::move(engine)), sequencer_(engine_), wave_(engine_) {}

void EngineDevices::openSong(const std::string &song) {
    std::string error;
    if (!sequencer_.open(song, error))
        throw Exception(error);
}

void EngineDevices::openSong(const std::string &, const audio::MidiSong &parsed) {
    std::string error;
    if (!sequencer_.open(parsed, error))
        throw Exception(error);
}

void EngineDevices::playSong() {
    // Its end is seen by asking (songPlaying): nothing needs telling.
    sequencer_.play({});
}

void EngineDevices::stopSong() {
    sequencer_.stop();
}

bool EngineDevices::songPlaying() {
    return sequencer_.isOpen() && sequencer_.playing();
}

std::int64_t EngineDevices::songLengthUs() {
    return sequencer_.lengthUs();
}

std::int64_t EngineDevices::songPositionUs() {
    return sequencer_.positionUs();
}

void EngineDevices::closeSong() {
    sequencer_.close();
}

void EngineDevices::openRecording(const audio::WaveFormat &format) {
    std::string error;
    if (!wave_.create(format, error))
        throw Exception(error);
}

void EngineDevices::record(const std::string &journal, std::int64_t expectedFrames) {
    std::string error;
    if (!wave_.record(journal, {}, error, expectedFrames))
        throw Exception(error);
}

void EngineDevices::endRecordingAfterSong(const TailRule &tail) {
    const int rate = wave_.format().sampleRate;
    const std::int64_t frames = std::llround(tail.seconds * rate);
    const std::int64_t end = sequencer_.endFrame();
    if (tail.untilQuiet)
        wave_.endWhenQuiet(end, tail.threshold,
                           std::int64_t(engine_->sampleRate()) * tail.holdMs / 1000, frames);
    else
        wave_.endAt(end, frames);
    // The stems end at the same frame: the same limit, and where the whole
    // found its quiet; and fade out with it.
    for (const auto &stem : stems_)
        stem->endAt(end, frames);
    if (tail.fadeSeconds > 0) {
        const std::int64_t fade = std::llround(tail.fadeSeconds * engine_->sampleRate());
        wave_.fadeOut(end - fade, fade);
        for (const auto &stem : stems_)
            stem->fadeOut(end - fade, fade);
    }
}

void EngineDevices::recordStems(const std::vector<int> &channels,
                                const std::vector<std::string> &journals,
                                std::int64_t expectedFrames) {
    for (std::size_t i = 0; i < channels.size(); ++i) {
        auto stem = std::make_unique<audio::WaveAudioDevice>(engine_);
        std::string error;
        if (!stem->create(wave_.format(), error))
            throw Exception(error);
        stem->takeChannel(channels[i], &wave_);
        stem->tap(i < stemTaps_.size() ? stemTaps_[i] : nullptr);
        if (!stem->record(journals[i], {}, error, expectedFrames))
            throw Exception(error);
        stems_.push_back(std::move(stem));
    }
}

std::string EngineDevices::saveStem(std::size_t index, const std::string &file) {
    std::string error;
    return stems_[index]->save(file, error) ? std::string() : error;
}

bool EngineDevices::recording() {
    return wave_.recording();
}

std::int64_t EngineDevices::recordedFrames() {
    return wave_.positionFrames();
}

void EngineDevices::stopRecording() {
    for (const auto &stem : stems_)
        stem->stop();
    wave_.stop();
}

std::string EngineDevices::saveRecording(const std::string &file) {
    std::string error;
    return wave_.save(file, error) ? std::string() : error;
}

void EngineDevices::closeRecording() {
    stems_.clear(); // before the recording they follow
    wave_.close();
}
