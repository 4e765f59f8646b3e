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
    if (tail.untilQuiet)
        wave_.endWhenQuiet(sequencer_.endFrame(), tail.threshold,
                           std::int64_t(engine_->sampleRate()) * tail.holdMs / 1000, frames);
    else
        wave_.endAt(sequencer_.endFrame(), frames);
}

bool EngineDevices::recording() {
    return wave_.recording();
}

std::int64_t EngineDevices::recordedFrames() {
    return wave_.positionFrames();
}

void EngineDevices::stopRecording() {
    wave_.stop();
}

std::string EngineDevices::saveRecording(const std::string &file) {
    std::string error;
    return wave_.save(file, error) ? std::string() : error;
}

void EngineDevices::closeRecording() {
    wave_.close();
}
