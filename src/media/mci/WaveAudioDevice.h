// The "WaveAudio" device: opens a PCM WAVE file, takes its format, records
// the wave input into a spool and saves its content as a WAVE file.
#pragma once

#include "engine/Engine.h"
#include "engine/WaveFile.h"
#include "engine/WaveInput.h"
#include "media/mci/Device.h"
#include "media/mci/NoticeWindow.h"

#include <cstdio>
#include <memory>

namespace mci {

class WaveAudioDevice : public Device {
public:
    explicit WaveAudioDevice(MCIDEVICEID id) : Device(id) {}
    ~WaveAudioDevice() override;

    DWORD deviceType() const override { return MCI_DEVTYPE_WAVEFORM_AUDIO; }
    /// Reads the file's format and samples. Fails with a text that names the
    /// file and what is wrong with it.
    MCIERROR open(const std::string &element) override;
    /// Discards the content and any recording in progress.
    void close() override;
    /// Records the wave input, inserted at the current position, from the
    /// engine's next period until stop, or until the position `to` (in the
    /// time format): then exactly that far, and the notice says successful.
    /// With a `journal` named (and none made yet), the recording is written
    /// to that in-progress file as it goes, and stays there on close.
    MCIERROR record(DWORD_PTR notifyWindow, std::int64_t to, const std::string &journal) override;
    /// Milliseconds, bytes, or samples (frames of the device's format).
    MCIERROR setTimeFormat(DWORD format) override;
    /// Returns when the last recorded period is in the spool.
    MCIERROR stop() override;
    MCIERROR seekToStart() override;
    /// Writes the content as a canonical PCM WAVE file, atomically: an
    /// in-progress file that holds the whole content, in the same file
    /// system, is renamed into place, else the content is copied. On
    /// failure nothing is left under the name and the content stays.
    MCIERROR save(const std::string &file) override;
    MCIERROR status(DWORD item, DWORD_PTR &value) override;
    MCIERROR capability(DWORD item, DWORD &value) override;

private:
    DWORD_PTR inTimeFormat(std::uint64_t bytes) const;
    std::uint64_t bytesOf(std::int64_t position) const;
    bool foldRecording(std::string &error);
    void release(std::FILE *&file);

    audio::WaveFormat format_;
    std::FILE *content_ = nullptr;    // the device's content, as WAVE sample data
    std::uint64_t contentOffset_ = 0; // where the samples begin in content_
    std::uint64_t contentBytes_ = 0;
    std::uint64_t positionBytes_ = 0; // where the next recording goes
    std::shared_ptr<audio::Engine> engine_;
    std::FILE *take_ = nullptr; // the recording in progress, or the last one not yet folded in
    std::uint64_t takeOffset_ = 0;
    // The in-progress file, when a recording went to one: it owns the file
    // that take_ or content_ then is.
    std::unique_ptr<audio::WaveJournal> journal_;
    std::unique_ptr<audio::WaveRecorder> recorder_;
    bool recording_ = false;
    std::string failure_; // why the content is incomplete, if it is
    PendingNotice notice_;
    DWORD timeFormat_ = MCI_FORMAT_MILLISECONDS;
};

} // namespace mci
