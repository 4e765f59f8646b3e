// A run's devices as the window holds them: its two media device
// controllers, the sequencer and the wave-audio one, on the engine the
// window gives them. Every step goes through the media control interface.
#pragma once

#include "media/MPlayer.h"
#include "recording/RunDevices.h"

#include <memory>

class PlayerDevices : public RunDevices {
public:
    /// The run's steps on `sequencer` and `wave`, which stay the caller's.
    PlayerDevices(TMediaPlayer &sequencer, TMediaPlayer &wave);

    /// The engine both controllers' devices use from their next Open on
    /// (null: none, so that an engine nothing else holds stops).
    void setEngine(std::shared_ptr<audio::Engine> engine);

    void openSong(const std::string &song) override;
    void playSong() override;
    void stopSong() override;
    bool songPlaying() override;
    std::int64_t songLengthUs() override;
    std::int64_t songPositionUs() override;
    void closeSong() override;

    /// A new recording: the wave-audio device opened on nothing, in
    /// `format`, counting in frames.
    void openRecording(const audio::WaveFormat &format) override;
    void record(const std::string &journal, std::int64_t expectedFrames) override;
    /// The end as a position the wave-audio device records to: the song's
    /// end (its length while it plays, where it stands once stopped) and
    /// the tail. An automatic tail is not the device's to hear: it records
    /// the longest tail.
    void endRecordingAfterSong(const TailRule &tail) override;
    bool recording() override;
    std::int64_t recordedFrames() override;
    void stopRecording() override;
    std::string saveRecording(const std::string &file) override;
    void closeRecording() override;

private:
    void raiseOnError(TMediaPlayer &player);

    TMediaPlayer &sequencer_;
    TMediaPlayer &wave_;
    int rate_ = 0; // the recording's frames a second
};
