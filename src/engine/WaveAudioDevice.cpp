// The wave-audio device's content spool, its recordings through the wave
// input (into an in-progress file or a scratch file), and saving.
#include "engine/WaveAudioDevice.h"

#include "engine/SoundSystem.h"

#include "platform/FileWrite.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace audio {
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

std::string noSpool() {
    return std::string("No room for a recording spool: ") + std::strerror(errno);
}

} // namespace

WaveAudioDevice::WaveAudioDevice(std::shared_ptr<Engine> engine) : engine_(std::move(engine)) {}

WaveAudioDevice::~WaveAudioDevice() {
    close();
}

bool WaveAudioDevice::create(const WaveFormat &format, std::string &error) {
    close();
    // A real input that devices.ini names must be there.
    if (engine_ && engine_->settings().devices.realInput() && !engine_->inputError().empty()) {
        error = engine_->inputError();
        return false;
    }
    content_ = platform::scratchFile();
    if (!content_) {
        error = noSpool();
        return false;
    }
    format_ = format;
    contentOffset_ = contentBytes_ = positionBytes_ = 0;
    open_ = true;
    return true;
}

bool WaveAudioDevice::open(const std::string &file, std::string &error) {
    if (!create(format_, error))
        return false;
    if (!readWaveFile(file, format_, content_, contentBytes_, error)) {
        error = "\"" + file + "\" cannot be opened as a WAVE file: " + error;
        close();
        return false;
    }
    return true;
}

bool WaveAudioDevice::setFormat(const WaveFormat &format, std::string &error) {
    if (contentBytes_ > 0 || recorder_) {
        error = "The format of a recording that holds samples cannot be changed";
        return false;
    }
    format_ = format;
    return true;
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
    release(take_);
    release(content_);
    // An in-progress file not saved stays for a later recovery; its lock ends here.
    journal_.reset();
    failure_.clear();
    open_ = false;
}

bool WaveAudioDevice::record(const std::string &journal, std::function<void()> ended,
                             std::string &error, std::int64_t expectedFrames) {
    if (!engine_) {
        error = "No sound engine was given to record from";
        return false;
    }
    if (recording_) {
        // The running recording goes on; only whom it tells of its end changes.
        std::lock_guard<std::mutex> guard(engine_->lock());
        recorder_->onEnd(std::move(ended));
        return true;
    }
    if (!foldRecording(error))
        return false;
    if (!journal.empty() && !journal_) {
        const std::uint64_t expected =
            std::uint64_t(std::max<std::int64_t>(expectedFrames, 0)) * format_.bytesPerFrame();
        journal_ = WaveJournal::create(journal, format_, expected, error);
        if (!journal_) {
            error = "The recording cannot be written to \"" + journal + "\": " + error;
            return false;
        }
        take_ = journal_->file();
        takeOffset_ = journal_->headerBytes();
    } else {
        take_ = platform::scratchFile();
        takeOffset_ = 0;
    }
    if (!take_) {
        error = noSpool();
        return false;
    }
    recorder_ = std::make_unique<WaveRecorder>(engine_, format_, take_);
    if (!recorder_->formatError().empty()) {
        // Samples at the engine's rate would go into a file of another.
        error = "Nothing can be recorded at " + std::to_string(format_.sampleRate) +
                " Hz: " + recorder_->formatError();
        recorder_.reset();
        release(take_);
        return false;
    }
    if (journal_ && take_ == journal_->file())
        recorder_->setJournal(journal_.get());
    recorder_->tap(tap_);
    recorder_->takeChannel(channel_);
    if (leader_)
        recorder_->follow(leader_->recorder_.get());
    recorder_->onEnd(std::move(ended));
    recorder_->start();
    recording_ = true;
    return true;
}

void WaveAudioDevice::endAfter(std::int64_t frames) {
    if (!recorder_)
        return;
    std::lock_guard<std::mutex> guard(engine_->lock());
    recorder_->limit(frames);
}

void WaveAudioDevice::endAt(std::int64_t frame, std::int64_t tail) {
    if (!recorder_)
        return;
    std::lock_guard<std::mutex> guard(engine_->lock());
    recorder_->limitAt(frame, tail);
}

void WaveAudioDevice::endWhenQuiet(std::int64_t frame, float threshold, std::int64_t hold,
                                   std::int64_t most) {
    if (!recorder_)
        return;
    std::lock_guard<std::mutex> guard(engine_->lock());
    recorder_->limitAt(frame, most);
    recorder_->endWhenQuiet(frame, threshold, hold);
}

void WaveAudioDevice::fadeOut(std::int64_t from, std::int64_t frames) {
    if (!recorder_)
        return;
    std::lock_guard<std::mutex> guard(engine_->lock());
    recorder_->fadeOut(from, frames);
}

bool WaveAudioDevice::recording() const {
    return recording_ && !recorder_->complete();
}

void WaveAudioDevice::stop() {
    if (!recording_)
        return;
    recorder_->stop();
    recording_ = false;
    if (recorder_->failed() && failure_.empty())
        failure_ = recorder_->failure();
    // A real input that heard nothing at all is told of after the run.
    if (engine_->capturing() && recorder_->peak() < kSilence)
        engine_->notices().post("The input stayed silent: check the connection");
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
            error = std::string("The recording could not be put together: ") + std::strerror(errno);
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

void WaveAudioDevice::seekToStart() {
    stop();
    std::string error;
    if (!foldRecording(error) && failure_.empty())
        failure_ = error;
    positionBytes_ = 0;
}

bool WaveAudioDevice::save(const std::string &file, std::string &error) {
    stop(); // saving while recording keeps what was recorded until now
    if (!foldRecording(error)) {
        error = "\"" + file + "\" was not saved: " + error;
        return false;
    }
    if (!failure_.empty()) {
        error = "\"" + file + "\" was not saved: " + failure_;
        return false;
    }
    if (journal_ && content_ == journal_->file() && !journal_->finished() &&
        (file == journal_->path() || journal_->canFinishAs(file, contentBytes_))) {
        // The recording is already a WAVE file beside its name: no copy.
        if (!journal_->finish(file, contentBytes_, error)) {
            error = "\"" + file + "\" could not be written: " + error;
            return false;
        }
        return true;
    }
    if (!writeWaveFile(file, format_, content_, contentBytes_, error, contentOffset_)) {
        error = "\"" + file + "\" could not be written: " + error;
        return false;
    }
    return true;
}

std::uint64_t WaveAudioDevice::recordingBytes() const {
    // A recording in progress counts by the frames the engine has handed over.
    if (!recording_)
        return recorder_ ? recorder_->bytesWritten() : 0;
    auto frames = static_cast<std::uint64_t>(recorder_->framesCaptured()) *
                  static_cast<std::uint64_t>(format_.sampleRate) /
                  static_cast<std::uint64_t>(engine_->sampleRate());
    if (recorder_->limited())
        frames = std::min(frames, static_cast<std::uint64_t>(recorder_->limitFrames()));
    return frames * static_cast<std::uint64_t>(format_.bytesPerFrame());
}

std::int64_t WaveAudioDevice::lengthFrames() const {
    return std::int64_t((contentBytes_ + recordingBytes()) /
                        std::uint64_t(format_.bytesPerFrame()));
}

std::int64_t WaveAudioDevice::positionFrames() const {
    return std::int64_t((positionBytes_ + recordingBytes()) /
                        std::uint64_t(format_.bytesPerFrame()));
}

} // namespace audio
