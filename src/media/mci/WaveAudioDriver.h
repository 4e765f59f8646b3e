// The "WaveAudio" driver: the engine's wave-audio device behind the media
// control interface, with positions in milliseconds, bytes or frames, and
// a recording's end as its completion notice.
#pragma once

#include "engine/WaveAudioDevice.h"
#include "media/mci/Driver.h"
#include "media/mci/NoticeWindow.h"

#include <atomic>
#include <memory>

namespace mci {

class WaveAudioDriver : public Driver {
public:
    /// A device that records from `engine` (null: one that cannot record).
    WaveAudioDriver(MCIDEVICEID id, std::shared_ptr<audio::Engine> engine);
    ~WaveAudioDriver() override;

    DWORD deviceType() const override { return MCI_DEVTYPE_WAVEFORM_AUDIO; }
    /// Reads the file's format and samples; an empty element is a new
    /// recording with nothing in it. Fails with a text that names the file
    /// and what is wrong with it.
    MCIERROR open(const std::string &element) override;
    /// Discards the content and any recording in progress.
    void close() override;
    /// Records the wave input, inserted at the current position, from the
    /// engine's next period until stop, or until the position `to` (in the
    /// time format): then exactly that far, and the notice says successful.
    /// Sent again while recording, it moves the end to `to` and supersedes
    /// the pending notice. With a `journal` named (and none made yet), the
    /// recording is written to that in-progress file as it goes, and stays
    /// there on close.
    MCIERROR record(DWORD_PTR notifyWindow, std::int64_t to, const std::string &journal) override;
    /// Milliseconds, bytes, or samples (frames of the device's format).
    MCIERROR setTimeFormat(DWORD format) override;
    /// The format of a device that holds nothing yet.
    MCIERROR setWaveFormat(DWORD flags, const MCI_WAVE_SET_PARMS &parms) override;
    /// Returns when the last recorded period is in the content.
    MCIERROR stop() override;
    MCIERROR seekToStart() override;
    /// Writes the content as a canonical WAVE file, atomically (see
    /// audio::WaveAudioDevice::save). On failure nothing is left under the
    /// name and the content stays.
    MCIERROR save(const std::string &file) override;
    MCIERROR status(DWORD item, DWORD_PTR &value) override;
    MCIERROR capability(DWORD item, DWORD &value) override;

private:
    DWORD_PTR inTimeFormat(std::int64_t frames) const;
    std::int64_t framesOf(std::int64_t position) const;

    audio::WaveAudioDevice device_;
    std::int64_t recordedFrom_ = 0; // the position the running recording started at
    std::atomic<unsigned> takes_{0};
    PendingNotice notice_;
    DWORD timeFormat_ = MCI_FORMAT_MILLISECONDS;
};

} // namespace mci
