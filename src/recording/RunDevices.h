// The two devices a recording run plays and records with: the sequencer
// that plays the song and the wave-audio device that records what it makes.
// The window reaches them through its media device controllers,
// kestrune-render through an engine's devices directly (EngineDevices); the
// recording session is the same for both.
#pragma once

#include "engine/MidiFile.h"
#include "engine/WaveFile.h"

#include <cstdint>
#include <string>
#include <vector>

/// How a recording ends after the song.
struct TailRule {
    /// Seconds recorded after the song's end.
    double seconds = 0;
    /// Instead, until the sound has stayed below `threshold` (as a sample's
    /// value) for `holdMs` milliseconds, and at most `seconds`.
    bool untilQuiet = false;
    float threshold = 0;
    int holdMs = 0;
    /// The song's last seconds fade out to silence (0: none).
    double fadeSeconds = 0;
};

class RunDevices {
public:
    virtual ~RunDevices() = default;

    /// Opens the sequencer on `song`, ready to play it from its start.
    /// Raises Exception (EMCIDeviceError in the window) with what is wrong.
    virtual void openSong(const std::string &song) = 0;
    /// The same with the song read from `song` already.
    virtual void openSong(const std::string &song, const audio::MidiSong &parsed) {
        (void)parsed;
        openSong(song);
    }
    /// Plays the song; it ends by itself at its end.
    virtual void playSong() = 0;
    /// Stops the song where it stands.
    virtual void stopSong() = 0;
    virtual bool songPlaying() = 0;
    /// The song's length and where it stands, in microseconds.
    virtual std::int64_t songLengthUs() = 0;
    virtual std::int64_t songPositionUs() = 0;
    /// Closes the sequencer; nothing when it is not open.
    virtual void closeSong() = 0;

    /// Opens the wave-audio device with nothing in it, in `format`. Raises.
    virtual void openRecording(const audio::WaveFormat &format) = 0;
    /// Records into the in-progress file `journal` from now on; the
    /// recording will hold about `expectedFrames` frames. Raises.
    virtual void record(const std::string &journal, std::int64_t expectedFrames) = 0;
    /// The recording ends by itself as `tail` says, after the song's end:
    /// its last frame while it plays, or where it was stopped.
    virtual void endRecordingAfterSong(const TailRule &tail) = 0;
    /// Whether it records and has not reached its end.
    virtual bool recording() = 0;
    /// The frames recorded so far.
    virtual std::int64_t recordedFrames() = 0;
    /// Stops recording; what was recorded until now stays.
    virtual void stopRecording() = 0;
    /// Writes the recording as a WAVE file under `file`, whole or not at
    /// all (under the in-progress file's own name: finished where it lies).
    /// Empty on success, else why not; the recording then stays.
    virtual std::string saveRecording(const std::string &file) = 0;
    /// Closes the wave-audio device; nothing when it is not open.
    virtual void closeRecording() = 0;

    /// Right after record(): each of `channels` (16 × port + channel) is
    /// also recorded on its own, into the in-progress file `journals[i]`,
    /// from the same frame, and ends where the whole recording ends; they
    /// stop and close with it. Raises (devices that cannot: always).
    virtual void recordStems(const std::vector<int> &channels,
                             const std::vector<std::string> &journals, std::int64_t expectedFrames);
    /// Writes stem `index` under `file`, as saveRecording() does.
    virtual std::string saveStem(std::size_t index, const std::string &file);
};
