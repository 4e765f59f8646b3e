// Wave-audio device: content spool, recording through the wave input, and
// saving.
#include "media/mci/WaveAudioDevice.h"

#include "platform/FileWrite.h"

#include "engine/SoundSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace mci {
namespace {

// Below this (-80 dB) an input heard nothing: no cable, no connection.
constexpr float kSilence = 1e-4f;

// Copies `bytes` bytes from `from` (at its current offset) to the end of `to`.
bool copyBytes(std::FILE *from, std::FILE *to, std::uint64_t bytes) {
    std::vector<char> buffer(1 << 16);
    while (bytes > 0) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes, buffer.size()));
        if (std::fread(buffer.data(), 1, want, from) != want ||
            std::fwrite(buffer.data(), 1, want, to) != want)
            return false;
        bytes -= want;
    }
    return true;
}

} // namespace

WaveAudioDevice::~WaveAudioDevice() {
    close();
}

MCIERROR WaveAudioDevice::open(const std::string &element) {
    // A real input that devices.ini names must be there.
    audio::SoundSystem &sound = audio::SoundSystem::current();
    if (sound.settings().devices.realInput()) {
        engine_ = sound.acquire();
        if (!engine_->inputError().empty()) {
            const std::string error = engine_->inputError();
            engine_.reset();
            return makeCustomError(error + ".");
        }
    }
    content_ = platform::scratchFile();
    if (!content_)
        return makeCustomError(std::string("No room for a recording spool: ") +
                               std::strerror(errno) + ".");
    std::string error;
    if (!audio::readWaveFile(element, format_, content_, contentBytes_, error))
        return makeCustomError("\"" + element + "\" cannot be opened as a WAVE file: " + error +
                               ".");
    contentOffset_ = 0;
    positionBytes_ = 0;
    return 0;
}

void WaveAudioDevice::release(std::FILE *&file) {
    // The in-progress file's stream is closed with it, never here.
    if (file && !(journal_ && file == journal_->file()))
        std::fclose(file);
    file = nullptr;
}

void WaveAudioDevice::close() {
    if (recording_)
        recorder_->stop();
    recording_ = false;
    recorder_.reset();
    engine_.reset();
    notice_.complete(MCI_NOTIFY_ABORTED);
    release(take_);
    release(content_);
    // An in-progress file not saved stays for a later recovery; its lock ends here.
    journal_.reset();
}

MCIERROR WaveAudioDevice::record(DWORD_PTR notifyWindow, std::int64_t to,
                                 const std::string &journal) {
    if (recording_) {
        notice_.arm(notifyWindow, id()); // the running recording goes on
        return 0;
    }
    const std::uint64_t end = to < 0 ? 0 : bytesOf(to);
    if (to >= 0 && end <= positionBytes_) {
        // Already there: nothing to record.
        notice_.arm(notifyWindow, id());
        notice_.complete(MCI_NOTIFY_SUCCESSFUL);
        return 0;
    }
    std::string error;
    if (!foldRecording(error))
        return makeCustomError(error);
    const std::uint64_t expected = to >= 0 ? end - positionBytes_ : 0;
    if (!journal.empty() && !journal_) {
        journal_ = audio::WaveJournal::create(journal, format_, expected, error);
        if (!journal_)
            return makeCustomError("The recording cannot be written to \"" + journal +
                                   "\": " + error + ".");
        take_ = journal_->file();
        takeOffset_ = journal_->headerBytes();
    } else {
        take_ = platform::scratchFile();
        takeOffset_ = 0;
    }
    if (!take_)
        return makeCustomError(std::string("No room for a recording spool: ") +
                               std::strerror(errno) + ".");
    if (!engine_)
        engine_ = audio::SoundSystem::current().acquire();
    recorder_ = std::make_unique<audio::WaveRecorder>(engine_, format_, take_);
    if (!recorder_->formatError().empty()) {
        // Samples at the engine's rate would go into a file of another.
        const std::string why = recorder_->formatError();
        recorder_.reset();
        release(take_);
        return makeCustomError("Nothing can be recorded at " + std::to_string(format_.sampleRate) +
                               " Hz: " + why + ".");
    }
    if (journal_ && take_ == journal_->file())
        recorder_->setJournal(journal_.get());
    if (to >= 0)
        recorder_->limit(static_cast<std::int64_t>((end - positionBytes_) /
                                                   std::uint64_t(format_.bytesPerFrame())),
                         [this] { notice_.complete(MCI_NOTIFY_SUCCESSFUL); });
    recorder_->start();
    recording_ = true;
    notice_.arm(notifyWindow, id());
    return 0;
}

MCIERROR WaveAudioDevice::stop() {
    if (recording_) {
        recorder_->stop();
        recording_ = false;
        if (recorder_->failed() && failure_.empty())
            failure_ = recorder_->failure();
        // A real input that heard nothing at all is told of after the run.
        if (engine_ && engine_->capturing() && recorder_->peak() < kSilence)
            engine_->notices().post("The input stayed silent: check the connection");
    }
    notice_.complete(MCI_NOTIFY_ABORTED);
    return 0;
}

bool WaveAudioDevice::foldRecording(std::string &error) {
    // Puts a finished take into the content at the position it was recorded at.
    if (!recorder_)
        return true;
    const std::uint64_t taken = recorder_->bytesWritten();
    // A take whose in-progress file failed or filled goes on in a spill.
    std::FILE *spill = recorder_->spill();
    const std::uint64_t inTake = recorder_->journalBytes();
    if (contentBytes_ == 0 && !spill) {
        recorder_.reset();
        release(content_);
        content_ = take_;
        contentOffset_ = takeOffset_;
    } else {
        std::FILE *merged = platform::scratchFile();
        auto at = [](std::FILE *file, std::uint64_t offset) {
            return ::fseeko(file, off_t(offset), SEEK_SET) == 0;
        };
        bool ok = merged && at(content_, contentOffset_) &&
                  copyBytes(content_, merged, positionBytes_) && at(take_, takeOffset_) &&
                  copyBytes(take_, merged, inTake) &&
                  (!spill || (at(spill, 0) && copyBytes(spill, merged, taken - inTake))) &&
                  at(content_, contentOffset_ + positionBytes_) &&
                  copyBytes(content_, merged, contentBytes_ - positionBytes_);
        recorder_.reset();
        if (!ok) {
            error = std::string("The recording could not be put together: ") +
                    std::strerror(errno) + ".";
            if (merged)
                std::fclose(merged);
            release(take_);
            return false;
        }
        release(content_);
        release(take_);
        content_ = merged;
        contentOffset_ = 0;
    }
    take_ = nullptr;
    contentBytes_ += taken;
    positionBytes_ += taken;
    return true;
}

MCIERROR WaveAudioDevice::seekToStart() {
    if (recording_)
        stop();
    std::string error;
    if (!foldRecording(error))
        return makeCustomError(error);
    positionBytes_ = 0;
    return 0;
}

MCIERROR WaveAudioDevice::save(const std::string &file) {
    std::string error;
    if (recording_)
        stop(); // saving while recording keeps what was recorded until now
    if (!foldRecording(error))
        return makeCustomError("\"" + file + "\" was not saved: " + error);
    if (!failure_.empty())
        return makeCustomError("\"" + file + "\" was not saved: " + failure_ + ".");
    if (journal_ && content_ == journal_->file() && !journal_->finished() &&
        journal_->canFinishAs(file, contentBytes_)) {
        // The recording is already a WAVE file beside its name: no copy.
        if (!journal_->finish(file, contentBytes_, error))
            return makeCustomError("\"" + file + "\" could not be written: " + error + ".");
        return 0;
    }
    if (!audio::writeWaveFile(file, format_, content_, contentBytes_, error, contentOffset_))
        return makeCustomError("\"" + file + "\" could not be written: " + error + ".");
    return 0;
}

MCIERROR WaveAudioDevice::setTimeFormat(DWORD format) {
    if (format != MCI_FORMAT_MILLISECONDS && format != MCI_FORMAT_SAMPLES &&
        format != MCI_FORMAT_BYTES)
        return MCIERR_BAD_TIME_FORMAT;
    timeFormat_ = format;
    return 0;
}

DWORD_PTR WaveAudioDevice::inTimeFormat(std::uint64_t bytes) const {
    const std::uint64_t frames = bytes / static_cast<std::uint64_t>(format_.bytesPerFrame());
    switch (timeFormat_) {
    case MCI_FORMAT_BYTES:
        return static_cast<DWORD_PTR>(frames * std::uint64_t(format_.bytesPerFrame()));
    case MCI_FORMAT_SAMPLES:
        return static_cast<DWORD_PTR>(frames);
    default:
        return static_cast<DWORD_PTR>(frames * 1000 /
                                      static_cast<std::uint64_t>(format_.sampleRate));
    }
}

std::uint64_t WaveAudioDevice::bytesOf(std::int64_t position) const {
    const auto p = static_cast<std::uint64_t>(position);
    const auto frameBytes = static_cast<std::uint64_t>(format_.bytesPerFrame());
    switch (timeFormat_) {
    case MCI_FORMAT_BYTES:
        return p / frameBytes * frameBytes;
    case MCI_FORMAT_SAMPLES:
        return p * frameBytes;
    default:
        return p * static_cast<std::uint64_t>(format_.sampleRate) / 1000 * frameBytes;
    }
}

MCIERROR WaveAudioDevice::status(DWORD item, DWORD_PTR &value) {
    // A recording in progress counts by the frames the engine has handed over.
    std::uint64_t recording = 0;
    if (recording_) {
        auto frames = static_cast<std::uint64_t>(recorder_->framesCaptured()) *
                      static_cast<std::uint64_t>(format_.sampleRate) /
                      static_cast<std::uint64_t>(engine_->sampleRate());
        if (recorder_->limited())
            frames = std::min(frames, static_cast<std::uint64_t>(recorder_->limitFrames()));
        recording = frames * static_cast<std::uint64_t>(format_.bytesPerFrame());
    } else if (recorder_) {
        recording = recorder_->bytesWritten();
    }
    switch (item) {
    case MCI_STATUS_LENGTH:
        value = inTimeFormat(contentBytes_ + recording);
        return 0;
    case MCI_STATUS_POSITION:
        value = inTimeFormat(positionBytes_ + recording);
        return 0;
    case MCI_STATUS_MODE:
        // A recording that reached its end position has stopped by itself.
        value = recording_ && !recorder_->complete() ? MCI_MODE_RECORD : MCI_MODE_STOP;
        return 0;
    default:
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
}

MCIERROR WaveAudioDevice::capability(DWORD item, DWORD &value) {
    switch (item) {
    case MCI_GETDEVCAPS_CAN_PLAY:
    case MCI_GETDEVCAPS_CAN_RECORD:
        value = 1;
        return 0;
    case MCI_GETDEVCAPS_CAN_EJECT:
    case MCI_GETDEVCAPS_HAS_VIDEO:
        value = 0;
        return 0;
    case MCI_GETDEVCAPS_DEVICE_TYPE:
        value = MCI_DEVTYPE_WAVEFORM_AUDIO;
        return 0;
    default:
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
}

} // namespace mci
