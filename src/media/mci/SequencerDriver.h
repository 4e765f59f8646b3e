// The "Sequencer" driver: the engine's sequencer behind the media control
// interface, with positions and lengths in milliseconds (or the engine's
// frames) and its plays' ends as completion notices.
#pragma once

#include "engine/SequencerDevice.h"
#include "media/mci/Driver.h"
#include "media/mci/NoticeWindow.h"

#include <atomic>
#include <memory>

namespace mci {

class SequencerDriver : public Driver {
public:
    /// A sequencer that plays on `engine`.
    SequencerDriver(MCIDEVICEID id, std::shared_ptr<audio::Engine> engine);
    ~SequencerDriver() override;

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
    MCIERROR seekTo(DWORD position) override;
    /// Milliseconds, or samples: frames of the engine.
    MCIERROR setTimeFormat(DWORD format) override;
    MCIERROR status(DWORD item, DWORD_PTR &value) override;
    MCIERROR capability(DWORD item, DWORD &value) override;

private:
    DWORD_PTR inTimeFormat(std::int64_t us) const;

    std::shared_ptr<audio::Engine> engine_;
    std::unique_ptr<audio::SequencerDevice> sequencer_;
    PendingNotice notice_;
    std::atomic<unsigned> plays_{0};
    DWORD timeFormat_ = MCI_FORMAT_MILLISECONDS;
};

} // namespace mci
