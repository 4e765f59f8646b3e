// The recording session's steps, in the order a run takes them, with the
// clean-ups that keep a failed step, a failed save or an encoder's failure
// from losing a recording or leaving a file that looks finished.
#include "recording/RecordingSession.h"

#include "engine/Engine.h"
#include "engine/MidiFile.h"
#include "engine/SoundSystem.h"
#include "media/MPlayer.h"
#include "platform/CrashPoint.h"
#include "platform/Exception.h"
#include "platform/FileWrite.h"
#include "platform/Paths.h"
#include "recording/Formats.h"
#include "recording/Interrupted.h"
#include "recording/RunPlan.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// Periods rendered between two looks at the devices (about 93 ms of sound).
constexpr std::int64_t kBatchFrames = 16 * audio::kPeriodFrames;

} // namespace

RecordingSession::RecordingSession(TMediaPlayer &sequencer, TMediaPlayer &wave, QObject *parent)
    : QObject(parent), sequencer_(sequencer), wave_(wave) {}

void RecordingSession::setPhase(Phase phase) {
    if (phase == phase_)
        return;
    phase_ = phase;
    emit phaseChanged(phase);
}

std::string RecordingSession::outputOf(const SessionPlan &plan) {
    if (!plan.output.empty())
        return plan.output;
    return OutputFolder(plan.options, plan.song) + OutputName(plan.options, plan.song);
}

std::string RecordingSession::output() const {
    return outputOf(plan_);
}

std::string RecordingSession::templateFolder() const {
    return plan_.style == RunStyle::Batch ? paths::shippedTemplateFolder()
                                          : paths::templateFolder();
}

int RecordingSession::sampleRate() const {
    if (plan_.format)
        return plan_.format->sampleRate;
    const RecordingFormat *format = FormatOf(plan_.options.quality);
    return format ? format->sampleRate : audio::kSampleRate;
}

void RecordingSession::start(const SessionPlan &plan) {
    plan_ = plan;
    inProgress_.clear();
    recordedFrames_ = 0;
    setPhase(Phase::Starting);
    try {
        // A song whose name ends in the output's own name (song.wav, with
        // no quality information and no folder of choice) would be replaced
        // by its recording: the song is never touched.
        RefuseSongAsOutput(output(), plan_.song);
        prepareOutput();
        const bool batch = plan_.style == RunStyle::Batch;
        sequencer_.FileName = plan_.song;
        sequencer_.Open();
        if (batch) {
            sequencer_.setTimeFormat(tfSamples);
            // The song to its last frame, then the tail, in frames of the
            // format: the wave device ends the recording there itself (an
            // automatic tail ends it sooner, in runFreely).
            songEngineFrames_ = sequencer_.Length();
            const int engineRate = audio::SoundSystem::current().acquire()->sampleRate();
            songFrames_ = BatchRecordingFrames(songEngineFrames_, engineRate, sampleRate(), 0);
            recordedFrames_ =
                BatchRecordingFrames(songEngineFrames_, engineRate, sampleRate(),
                                     plan_.tailAuto ? kAutoTailSeconds : plan_.tailSeconds);
            checkRoom();
        }
        sequencer_.setNotify(!batch);
        sequencer_.Play();
        wave_.Open();
        if (batch) {
            wave_.setTimeFormat(tfSamples);
            wave_.setNotify(false);
            wave_.setEndPos(static_cast<int>(recordedFrames_));
        }
        wave_.setRecordJournal(inProgress_);
        wave_.StartRecording();
        if (wave_.Error() != 0)
            throw EMCIDeviceError(wave_.ErrorText());
        platform::crashPoint("start", inProgress_);
    } catch (...) {
        abandon();
        throw;
    }
    setPhase(Phase::Playing);
}

void RecordingSession::prepareOutput() {
    const std::string base = TemplateBaseNameOf(plan_.options.quality);
    const std::string target = output();
    reserveInProgress(target);
    if (plan_.format) {
        // A format of its own: the in-progress file starts as an empty WAVE
        // file of that format, and the device takes it from there.
        const std::vector<std::uint8_t> header = audio::waveHeader(*plan_.format, 0);
        const int fd = ::open(inProgress_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        const bool written = fd >= 0 && platform::writeAll(fd, header.data(), header.size());
        const int cause = errno;
        if (fd >= 0)
            ::close(fd);
        if (!written)
            throw Exception(tr("No recording can be made in the folder of %1: %2")
                                .arg(QString::fromStdString(target),
                                     QString::fromLocal8Bit(std::strerror(cause)))
                                .toStdString());
        wave_.FileName = inProgress_;
        return;
    }
    if (plan_.style == RunStyle::Batch) {
        // The shipped template is the recording's format; the recording
        // goes to the in-progress file as it is made.
        wave_.FileName = templateFolder() + base + ".bin";
        return;
    }
    // The recording carries the template's format: the template is opened
    // under its open name and saved as the in-progress file, which is then
    // opened. A previous recording under the output's name stays untouched
    // until the new one is renamed over it.
    const std::string folder = templateFolder();
    std::rename((folder + base + ".bin").c_str(), (folder + base + ".wav").c_str());
    wave_.FileName = folder + base + ".wav";
    wave_.Open();
    wave_.FileName = inProgress_;
    wave_.Save();
    const bool saved = wave_.Error() == 0;
    const std::string refusal = saved ? std::string() : wave_.ErrorText();
    wave_.Close();
    std::rename((folder + base + ".wav").c_str(), (folder + base + ".bin").c_str());
    if (!saved)
        throw EMCIDeviceError(refusal);
    wave_.FileName = inProgress_;
}

void RecordingSession::reserveInProgress(const std::string &target) {
    // The in-progress file goes beside the output, so that the finished
    // recording is renamed into place. A folder that cannot take it is
    // refused now, before anything is recorded.
    const int fd = platform::makeTemporaryBeside(target, inProgress_, kInProgressSuffix);
    if (fd < 0) {
        inProgress_.clear();
        throw Exception(
            tr("No recording can be made in the folder of %1: %2")
                .arg(QString::fromStdString(target), QString::fromLocal8Bit(std::strerror(errno)))
                .toStdString());
    }
    ::close(fd);
    // Whole paths: the note is read by a later run, from any folder.
    RecordingNote note;
    note.output = std::filesystem::absolute(target).lexically_normal().string();
    note.song = std::filesystem::absolute(plan_.song).lexically_normal().string();
    note.started = QDateTime::currentDateTime().toString(Qt::ISODate).toStdString();
    note.tailSeconds = plan_.tailSeconds;
    WriteRecordingNote(inProgress_, note);
}

namespace {

// Bytes free for this user in the file system that holds `folder`, and
// which file system it is; false when it cannot be asked.
bool roomIn(const std::string &folder, std::uint64_t &free, std::uint64_t &device) {
    struct statvfs vfs {};
    struct stat st {};
    if (::statvfs(folder.c_str(), &vfs) != 0 || ::stat(folder.c_str(), &st) != 0)
        return false;
    free = std::uint64_t(vfs.f_bavail) * vfs.f_frsize;
    device = st.st_dev;
    return true;
}

std::string megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
    return text;
}

} // namespace

std::string RecordingSession::roomShortfall(const SessionPlan &plan, std::int64_t frames) {
    // The recording is written into the output's folder as it is made, and
    // renamed into place: the folder must hold it once.
    const RecordingFormat *format = FormatOf(plan.options.quality);
    const int frameBytes = plan.format ? plan.format->bytesPerFrame()
                           : format    ? format->bitsPerSample / 8 * format->channels
                                       : 4;
    const std::uint64_t bytes = std::uint64_t(frames) * std::uint64_t(frameBytes) + 80;
    const std::string output = outputOf(plan);
    std::string folder = output.substr(0, output.rfind('/') + 1);
    if (folder.empty())
        folder = "./";
    std::uint64_t free = 0, device = 0;
    if (!roomIn(folder, free, device))
        return {}; // the save says what is wrong with the folder
    if (free < bytes)
        return output + " needs " + megabytes(bytes) + ", and " + folder + " has " +
               megabytes(free) + " free";
    return {};
}

std::string RecordingSession::roomShortfall(const SessionPlan &plan) {
    try {
        const audio::MidiSong song = audio::readMidiFile(plan.song);
        const RecordingFormat *format = FormatOf(plan.options.quality);
        const int rate = plan.format ? plan.format->sampleRate
                         : format    ? format->sampleRate
                                     : audio::kSampleRate;
        return roomShortfall(plan, BatchRecordingFrames(song.lengthUs * rate / 1000000, rate, rate,
                                                        plan.tailSeconds));
    } catch (const std::exception &) {
        return {}; // the sequencer says what is wrong with the song
    }
}

void RecordingSession::checkRoom() const {
    // A batch that cannot hold the recording is refused before a frame is rendered.
    const std::string shortfall = roomShortfall(plan_, recordedFrames_);
    if (!shortfall.empty())
        throw Exception(shortfall);
}

int RecordingSession::progress() {
    const int position = sequencer_.Position();
    const int length = sequencer_.Length();
    // Halves go to the even neighbour; an empty song shows 0 %.
    return length == 0 ? 0 : static_cast<int>(std::nearbyint(double(position) / length * 100.0));
}

void RecordingSession::stopPlayback() {
    sequencer_.Stop();
}

void RecordingSession::playbackEnded() {
    if (plan_.style == RunStyle::Window)
        platform::crashPoint("tail", inProgress_);
    sequencer_.setNotify(false);
    sequencer_.Close();
    setPhase(Phase::Tail);
}

std::int64_t RecordingSession::tailFrames(int rate) const {
    return std::llround(plan_.tailSeconds * rate);
}

namespace {

// Where the sound was last above -90 dBFS, on the engine's clock: what an
// automatic tail waits to see fall silent.
class QuietWatch : public audio::EngineSink {
public:
    void period(std::int64_t periodStart, const float *frames) override {
        constexpr float kThreshold = 3.1622777e-5f; // -90 dBFS
        for (int i = audio::kPeriodFrames - 1; i >= 0; --i) {
            if (std::fabs(frames[2 * i]) >= kThreshold ||
                std::fabs(frames[2 * i + 1]) >= kThreshold) {
                lastLoudEnd = periodStart + i + 1;
                return;
            }
        }
    }
    std::int64_t lastLoudEnd = 0;
};

} // namespace

bool RecordingSession::runFreely(audio::Engine &engine,
                                 const std::function<void(std::int64_t, std::int64_t)> &progress,
                                 const std::atomic<bool> &stop) {
    std::int64_t total = recordedFrames_;
    const std::int64_t songEnd = plan_.tailAuto ? songFrames_ : total - tailFrames(sampleRate());
    // An automatic tail: the recording ends 100 ms after the sound, once
    // the song is over, falls below -90 dBFS to stay.
    QuietWatch quiet;
    std::int64_t songEndEngine = 0;
    if (plan_.tailAuto) {
        std::lock_guard<std::mutex> guard(engine.lock());
        engine.addSink(&quiet);
        songEndEngine = engine.lastPlayStartFrame.load() + songEngineFrames_;
        total = songFrames_;
    }
    const std::int64_t hold = engine.sampleRate() / 10;
    auto lastReport = std::chrono::steady_clock::now();
    bool inTail = false, quietEnough = false;
    while (wave_.Mode() == mpRecording) {
        if (stop) {
            if (plan_.tailAuto) {
                std::lock_guard<std::mutex> guard(engine.lock());
                engine.removeSink(&quiet);
            }
            return false;
        }
        if (!inTail && songEnd < recordedFrames_ && wave_.Position() > songEnd) {
            inTail = true;
            platform::crashPoint("tail", inProgress_);
        }
        {
            std::lock_guard<std::mutex> guard(engine.lock());
            // Past the song an automatic tail goes a period at a time, to
            // end where the sound has died away.
            const std::int64_t now = engine.framesRendered();
            const bool listening = plan_.tailAuto && now + kBatchFrames > songEndEngine;
            engine.drive(listening ? audio::kPeriodFrames : kBatchFrames);
            if (listening && engine.framesRendered() >= songEndEngine &&
                engine.framesRendered() >= std::max(quiet.lastLoudEnd, songEndEngine) + hold) {
                engine.removeSink(&quiet);
                quietEnough = true;
            }
        }
        if (quietEnough) {
            wave_.Stop();
            recordedFrames_ = wave_.Length();
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (progress && now - lastReport > std::chrono::milliseconds(100)) {
            lastReport = now;
            progress(std::min<std::int64_t>(wave_.Position(), total), total);
        }
    }
    if (plan_.tailAuto && !quietEnough) {
        // The longest tail passed, still sounding.
        std::lock_guard<std::mutex> guard(engine.lock());
        engine.removeSink(&quiet);
    }
    if (progress)
        progress(total, total);
    playbackEnded();
    return true;
}

RecordingSession::Saved RecordingSession::write() {
    setPhase(Phase::Writing);
    Saved saved;
    wave_.Stop();
    if (plan_.finish && !inProgress_.empty()) {
        // Saved whole where it was made (still locked by the device), then
        // written into the output.
        wave_.FileName = inProgress_;
        wave_.Save();
        saved.ok = wave_.Error() == 0;
        if (saved.ok) {
            saved.message = plan_.finish(inProgress_, output());
            saved.ok = saved.message.empty();
            if (!saved.ok)
                saved.message += tr(" The recording stays in %1 and is offered again at the "
                                    "next start")
                                     .arg(QString::fromStdString(inProgress_))
                                     .toStdString();
        } else {
            saved.message = wave_.ErrorText();
        }
        wave_.Close();
        if (saved.ok)
            removeInProgress();
        else
            inProgress_.clear(); // the only copy: offered again at the next start
        setPhase(Phase::Idle);
        return saved;
    }
    wave_.FileName = output();
    wave_.Save();
    saved.ok = wave_.Error() == 0;
    if (!saved.ok)
        keepElsewhere(saved);
    wave_.Close();
    if (saved.ok || !saved.keptAt.empty())
        removeInProgress();
    else
        inProgress_.clear(); // the only copy: offered again at the next start
    setPhase(Phase::Idle);
    return saved;
}

void RecordingSession::keepElsewhere(Saved &saved) {
    // The output could not be written: the recording goes to the first of
    // the home and temporary folders that takes it.
    const std::string refusal = wave_.ErrorText();
    const std::string wanted = wave_.FileName;
    QString name = QString::fromStdString(wanted.substr(wanted.rfind('/') + 1));
    if (name.endsWith(".wav"))
        name.chop(4);
    const QString stamp = QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    for (const QString &folder : {QDir::homePath(), QDir::tempPath()}) {
        wave_.FileName = QDir(folder).filePath(name + "-recovered-" + stamp + ".wav").toStdString();
        wave_.Save();
        if (wave_.Error() == 0) {
            saved.keptAt = wave_.FileName;
            break;
        }
    }
    if (!saved.keptAt.empty())
        saved.message = refusal + tr(" The recording was kept as %1")
                                      .arg(QString::fromStdString(saved.keptAt))
                                      .toStdString();
    else if (paths::isFile(inProgress_))
        saved.message = refusal + tr(" The recording stays in %1 and is offered again at the "
                                     "next start")
                                      .arg(QString::fromStdString(inProgress_))
                                      .toStdString();
    else
        saved.message =
            refusal + tr(" The recording could not be kept anywhere either").toStdString();
}

bool RecordingSession::encoderRuns() const {
    return EncoderRuns(plan_.options);
}

std::string RecordingSession::encode(const EncoderWait &how) {
    setPhase(Phase::Encoding);
    const std::string wave = output();
    const std::string mp3 = Mp3PathOf(wave);
    const QString encoder = QString::fromStdString(plan_.options.encoder);
    auto failed = [&](const std::string &why) {
        return tr("The MP3 encoder %1 failed on %2 (%3)")
            .arg(encoder, QString::fromStdString(wave), QString::fromStdString(why))
            .toStdString();
    };
    std::string message;
    // The encoder writes under a temporary name beside the MP3, renamed over
    // it once it holds MPEG audio: a link standing under the MP3's name is
    // replaced, never followed, and an encoder that fails leaves nothing.
    std::string partial;
    const int fd = platform::makeTemporaryBeside(mp3, partial);
    if (fd < 0) {
        message = failed("its MP3 file cannot be made in that folder: " +
                         std::string(std::strerror(errno)));
        setPhase(Phase::Idle);
        return message;
    }
    ::close(fd);
    // What the encoder prints goes to a file of its own when its last line
    // is wanted: it says why an encoder failed.
    std::FILE *said = how.keepOutput ? platform::scratchFile() : nullptr;
    const ProcessHandle process =
        StartEncoder(plan_.options, wave, partial, said ? fileno(said) : -1);
    bool encoded = false;
    if (!process) {
        message = tr("The MP3 encoder %1 could not be started: %2")
                      .arg(encoder, QString::fromStdString(process.error))
                      .toStdString();
    } else {
        const ProcessEnd end = how.wait(process);
        if (end.cut || !end.succeeded()) {
            message = failed(end.cut ? std::string("interrupted") : end.describe());
            if (said) {
                const std::string last = LastLineOf(said);
                if (!last.empty())
                    message += ": " + last;
            }
        } else if (!HoldsMpegAudio(partial)) {
            message = failed("it ended without writing MP3 audio");
        } else if (std::rename(partial.c_str(), mp3.c_str()) != 0) {
            message = failed("its MP3 cannot be named " + mp3 + ": " + std::strerror(errno));
        } else {
            encoded = true;
        }
    }
    if (!encoded)
        std::remove(partial.c_str());
    if (said)
        std::fclose(said);
    setPhase(Phase::Idle);
    return message;
}

void RecordingSession::abandon() {
    if (sequencer_.IsOpen()) {
        sequencer_.setNotify(false);
        sequencer_.Stop();
    }
    sequencer_.Close();
    wave_.Close();
    putTemplateBack();
    removeInProgress();
    setPhase(Phase::Idle);
}

void RecordingSession::putTemplateBack() {
    // The template goes back under its stored name if a failed open left it
    // renamed (and if its folder could be found at all).
    if (plan_.style != RunStyle::Window)
        return;
    try {
        const std::string base = templateFolder() + TemplateBaseNameOf(plan_.options.quality);
        if (paths::isFile(base + ".wav") && !paths::isFile(base + ".bin"))
            std::rename((base + ".wav").c_str(), (base + ".bin").c_str());
    } catch (const std::exception &) {
        // The error that ended the run says what is wrong with the folder.
    }
}

void RecordingSession::removeInProgress() {
    // Nothing is lost: the recording was saved, or the run was abandoned.
    if (!inProgress_.empty())
        RemoveInProgress(inProgress_);
    inProgress_.clear();
}
