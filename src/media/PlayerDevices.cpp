// The run's device steps as commands of the two media device controllers.
#include "media/PlayerDevices.h"

#include <cmath>
#include <utility>

PlayerDevices::PlayerDevices(TMediaPlayer &sequencer, TMediaPlayer &wave)
    : sequencer_(sequencer), wave_(wave) {}

void PlayerDevices::setEngine(std::shared_ptr<audio::Engine> engine) {
    sequencer_.Engine = engine;
    wave_.Engine = std::move(engine);
}

void PlayerDevices::raiseOnError(TMediaPlayer &player) {
    if (player.Error() != 0)
        throw EMCIDeviceError(player.ErrorText());
}

void PlayerDevices::openSong(const std::string &song) {
    sequencer_.FileName = song;
    sequencer_.Open();
}

void PlayerDevices::playSong() {
    // Its end comes as the sequencer's completion notice.
    sequencer_.setNotify(true);
    sequencer_.Play();
}

void PlayerDevices::stopSong() {
    sequencer_.Stop();
}

bool PlayerDevices::songPlaying() {
    return sequencer_.IsOpen() && sequencer_.Mode() == mpPlaying;
}

std::int64_t PlayerDevices::songLengthUs() {
    // The sequencer counts in milliseconds, its default time format.
    return sequencer_.IsOpen() ? std::int64_t(sequencer_.Length()) * 1000 : 0;
}

std::int64_t PlayerDevices::songPositionUs() {
    return sequencer_.IsOpen() ? std::int64_t(sequencer_.Position()) * 1000 : 0;
}

void PlayerDevices::closeSong() {
    sequencer_.setNotify(false);
    sequencer_.Close();
}

void PlayerDevices::openRecording(const audio::WaveFormat &format) {
    // Opened on no file: a new recording, which takes the format given.
    const std::string name = std::exchange(wave_.FileName, std::string());
    try {
        wave_.Open();
    } catch (...) {
        wave_.FileName = name;
        throw;
    }
    wave_.FileName = name;
    wave_.setTimeFormat(tfSamples);
    raiseOnError(wave_);
    wave_.setWaveFormat(format);
    raiseOnError(wave_);
    rate_ = format.sampleRate;
}

void PlayerDevices::record(const std::string &journal, std::int64_t) {
    // No notice yet: the recording's end is set, and noticed, after the song's.
    wave_.setRecordJournal(journal);
    wave_.setNotify(false);
    wave_.StartRecording();
    raiseOnError(wave_);
}

void PlayerDevices::endRecordingAfterSong(const TailRule &tail) {
    const std::int64_t songEnd = songPlaying() ? songLengthUs() : songPositionUs();
    const std::int64_t end =
        (songEnd * rate_ + 999999) / 1000000 + std::llround(tail.seconds * rate_);
    // Sent again while it records, the record command moves its end; the
    // recording's notice comes when it gets there.
    wave_.setEndPos(static_cast<int>(end));
    wave_.StartRecording();
    raiseOnError(wave_);
}

bool PlayerDevices::recording() {
    return wave_.IsOpen() && wave_.Mode() == mpRecording;
}

std::int64_t PlayerDevices::recordedFrames() {
    return wave_.IsOpen() ? wave_.Position() : 0;
}

void PlayerDevices::stopRecording() {
    if (wave_.IsOpen())
        wave_.Stop();
}

std::string PlayerDevices::saveRecording(const std::string &file) {
    wave_.FileName = file;
    wave_.Save();
    return wave_.Error() == 0 ? std::string() : wave_.ErrorText();
}

void PlayerDevices::closeRecording() {
    wave_.Close();
}
