// A run's devices on a sound engine of its own: its sequencer and its
// wave-audio device, reached directly. kestrune-render's road, and any
// other front end that holds an engine.
#pragma once

#include "engine/SequencerDevice.h"
#include "engine/WaveAudioDevice.h"
#include "recording/RunDevices.h"

#include <memory>
#include <vector>

class EngineDevices : public RunDevices {
public:
    explicit EngineDevices(std::shared_ptr<audio::Engine> engine);

    void openSong(const std::string &song) override;
    void openSong(const std::string &song, const audio::MidiSong &parsed) override;
    void playSong() override;
    void stopSong() override;
    bool songPlaying() override;
    std::int64_t songLengthUs() override;
    std::int64_t songPositionUs() override;
    void closeSong() override;

    void openRecording(const audio::WaveFormat &format) override;
    void record(const std::string &journal, std::int64_t expectedFrames) override;
    void endRecordingAfterSong(const TailRule &tail) override;
    bool recording() override;
    std::int64_t recordedFrames() override;
    void stopRecording() override;
    std::string saveRecording(const std::string &file) override;
    void closeRecording() override;
    void recordStems(const std::vector<int> &channels, const std::vector<std::string> &journals,
                     std::int64_t expectedFrames) override;
    std::string saveStem(std::size_t index, const std::string &file) override;

    /// What the next recording holds also goes to `tap` as it is written.
    void tap(audio::RecordingTap *tap) { wave_.tap(tap); }
    /// And what each of its stems holds to the tap of the same place.
    void tapStems(std::vector<audio::RecordingTap *> taps) { stemTaps_ = std::move(taps); }

    audio::Engine &engine() { return *engine_; }
    audio::SequencerDevice &sequencer() { return sequencer_; }
    audio::WaveAudioDevice &wave() { return wave_; }

private:
    std::shared_ptr<audio::Engine> engine_;
    audio::SequencerDevice sequencer_;
    audio::WaveAudioDevice wave_;
    // The stems, each a device that follows wave_.
    std::vector<std::unique_ptr<audio::WaveAudioDevice>> stems_;
    std::vector<audio::RecordingTap *> stemTaps_;
};
