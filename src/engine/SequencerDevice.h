// The sequencer: plays a Standard MIDI File on its engine's synthesiser, or on
// an outside one through a MIDI port, from a position, and tells whoever
// started a play how it ended.
#pragma once

#include "engine/Engine.h"
#include "engine/MidiFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace audio {

/// The frame of the song, at `rate`, that an event `us` into it plays on.
inline std::int64_t songFrameOf(std::int64_t us, int rate) {
    return us * rate / 1000000;
}

class SequencerDevice : public EngineSource {
public:
    /// How a play ended: at the song's end, stopped, or cut off because the
    /// outside synthesiser or the input went away.
    enum class End { Finished, Stopped, Failed };
    /// Called once for each play: on the rendering thread with the engine
    /// lock held when the song finishes or fails, on the caller's thread
    /// when it is stopped. It must not call back into the device.
    using EndFunction = std::function<void(End)>;

    /// A sequencer on `engine`, which it keeps for as long as it lives.
    explicit SequencerDevice(std::shared_ptr<Engine> engine);
    ~SequencerDevice() override;
    SequencerDevice(const SequencerDevice &) = delete;
    SequencerDevice &operator=(const SequencerDevice &) = delete;

    /// Reads and checks the whole file, loads the synthesiser (unless an
    /// outside one plays) and resets what plays. False with `error` naming
    /// the file and what is wrong with it, or what is missing to play it.
    bool open(const std::string &file, std::string &error);
    /// The same with `song`, read from `file` already.
    bool open(const MidiSong &song, std::string &error);
    /// Stops a play (telling it Stopped) and lets go of the song.
    void close();
    bool isOpen() const { return open_; }

    /// Plays from the position, starting at the engine's next period. A
    /// play still running is replaced, and its `ended` is dropped.
    void play(EndFunction ended);
    /// Stops where the engine's clock stands and silences every channel.
    void stop();
    /// Stops and moves to `us` (at most the length). The next play sends
    /// again what the song set up before that point.
    void seekTo(std::int64_t us);

    bool playing();
    /// Where the song stands and how long it is, in microseconds.
    std::int64_t positionUs();
    std::int64_t lengthUs() const { return song_.lengthUs; }
    /// The engine frame at which the song's time 0 falls in the last play,
    /// and the one at which that play ends: its last frame while it plays
    /// or once it finished, where it stood when it was stopped.
    std::int64_t startFrame();
    std::int64_t endFrame();
    /// Microseconds as frames of the engine.
    std::int64_t framesOf(std::int64_t us) const;

    const MidiSong &song() const { return song_; }
    Engine &engine() { return *engine_; }

    void beforeBlock(std::int64_t blockStart, MidiTarget &target) override;
    bool idleAt(std::int64_t blockStart) const override;

private:
    // Loads the synthesiser for the song read and resets what plays.
    bool start(std::string &error);
    std::int64_t positionUsLocked() const;
    EndFunction haltLocked();
    void endLocked(End end);

    const std::shared_ptr<Engine> engine_;
    MidiSong song_;
    bool open_ = false;
    // Guarded by the engine lock.
    bool playing_ = false;
    bool chase_ = false;
    std::size_t nextEvent_ = 0;
    std::int64_t playStartFrame_ = 0; // the frame at which the song's time 0 falls
    std::int64_t positionUs_ = 0;     // where a stopped song stands
    std::int64_t endFrame_ = 0;
    EndFunction ended_;
};

} // namespace audio
