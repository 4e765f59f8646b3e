// The "Sequencer" device: plays a Standard MIDI File on the engine's
// synthesiser, or on an outside one through a MIDI port, with position and
// length in milliseconds (or the engine's frames).
#pragma once

#include "engine/Engine.h"
#include "engine/MidiFile.h"
#include "media/mci/Device.h"
#include "media/mci/NoticeWindow.h"

#include <memory>

namespace mci {

class SequencerDevice : public Device, public audio::EngineSource {
public:
    explicit SequencerDevice(MCIDEVICEID id) : Device(id) {}
    ~SequencerDevice() override;

    DWORD deviceType() const override { return MCI_DEVTYPE_SEQUENCER; }
    /// Reads and checks the whole file, loads the synthesiser and resets it.
    /// Fails with a text that names the file and what is wrong with it.
    MCIERROR open(const std::string &element) override;
    void close() override;
    /// Starts at the engine's next period, from the current position.
    MCIERROR play(DWORD_PTR notifyWindow) override;
    /// Silences every channel; a pending play is reported aborted.
    MCIERROR stop() override;
    MCIERROR seekToStart() override;
    /// Stops and moves to `position` (milliseconds, at most the length).
    /// The next play sends again what the song set up before it.
    MCIERROR seekTo(DWORD position) override;
    /// Milliseconds, or samples: frames of the engine (44100 a second, or its own rate).
    MCIERROR setTimeFormat(DWORD format) override;
    MCIERROR status(DWORD item, DWORD_PTR &value) override;
    MCIERROR capability(DWORD item, DWORD &value) override;

    void beforeBlock(std::int64_t blockStart, audio::MidiTarget &target) override;

private:
    std::int64_t positionUsLocked() const;
    DWORD_PTR inTimeFormat(std::int64_t us) const;
    void haltLocked();

    std::shared_ptr<audio::Engine> engine_;
    audio::MidiSong song_;
    PendingNotice notice_;
    DWORD timeFormat_ = MCI_FORMAT_MILLISECONDS;
    // Guarded by the engine lock.
    bool playing_ = false;
    bool chase_ = false;
    std::size_t nextEvent_ = 0;
    std::int64_t playStartFrame_ = 0; // the frame at which the song's time 0 falls
    std::int64_t positionUs_ = 0;     // where a stopped song stands
};

} // namespace mci
