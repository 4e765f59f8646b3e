// The recording session's steps, in the order a run takes them, with the
// clean-ups that keep a failed step, a failed save or an encoder's failure
// from losing a recording or leaving a file that looks finished.
#include "recording/RecordingSession.h"

#include "engine/Levels.h"
#include "engine/MidiFile.h"
#include "platform/CrashPoint.h"
#include "platform/Exception.h"
#include "platform/FileWrite.h"
#include "platform/Paths.h"
#include "recording/Interrupted.h"
#include "recording/RunPlan.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// An automatic tail listens for the sound to fall below -90 dBFS and stay
// there for 100 ms.
constexpr int kQuietHoldMs = 100;

// `message`, then the sentence `more` after it.
std::string andThen(const std::string &message, const std::string &more) {
    return message + (!message.empty() && message.back() == '.' ? " " : ". ") + more;
}

// The frames a recording of `lengthUs` microseconds holds at `rate`, whole
// frames rounded up.
std::int64_t framesOfSong(std::int64_t lengthUs, int rate) {
    return (lengthUs * rate + 999999) / 1000000;
}

} // namespace

void RunDevices::recordStems(const std::vector<int> &, const std::vector<std::string> &,
                             std::int64_t) {
    throw Exception("Channels cannot be recorded each on its own here");
}

std::string RunDevices::saveStem(std::size_t, const std::string &) {
    return "Channels cannot be recorded each on its own here";
}

RecordingSession::RecordingSession(RunDevices &devices) : devices_(devices) {}

void RecordingSession::setPhase(Phase phase) {
    if (phase == phase_)
        return;
    phase_ = phase;
    if (onPhase)
        onPhase(phase);
}

std::string RecordingSession::outputOf(const SessionPlan &plan) {
    if (!plan.output.empty())
        return plan.output;
    return OutputFolder(plan.options, plan.song) + OutputName(plan.options, plan.song);
}

std::string RecordingSession::output() const {
    return outputOf(plan_);
}

TailRule RecordingSession::tailRule() const {
    TailRule rule;
    rule.seconds = plan_.tailAuto ? kAutoTailSeconds : plan_.tailSeconds;
    rule.untilQuiet = plan_.tailAuto;
    rule.threshold = plan_.quietLevel > 0 ? plan_.quietLevel : audio::kQuietLevel;
    rule.holdMs = kQuietHoldMs;
    rule.fadeSeconds = plan_.fadeSeconds;
    return rule;
}

void RecordingSession::start(const SessionPlan &plan) {
    plan_ = plan;
    inProgress_.clear();
    stemsInProgress_.clear();
    outcome_ = Outcome{};
    plannedFrames_ = 0;
    setPhase(Phase::Starting);
    try {
        // A song whose name ends in the output's own name (song.wav, with
        // no quality information and no folder of choice) would be replaced
        // by its recording: the song is never touched.
        RefuseSongAsOutput(output(), plan_.song);
        inProgress_ = reserveInProgress(output());
        for (const SessionPlan::Stem &stem : plan_.stems) {
            std::error_code ignored; // reserving the in-progress file says what is wrong
            std::filesystem::create_directories(std::filesystem::path(stem.output).parent_path(),
                                                ignored);
            stemsInProgress_.push_back(reserveInProgress(stem.output));
        }
        if (plan_.parsed)
            devices_.openSong(plan_.song, *plan_.parsed);
        else
            devices_.openSong(plan_.song);
        // The song to its last frame, then the tail, in frames of the format.
        const int rate = plan_.format.sampleRate;
        const std::int64_t song = framesOfSong(devices_.songLengthUs(), rate);
        const TailRule tail = tailRule();
        const std::int64_t most = song + std::llround(tail.seconds * rate);
        plannedFrames_ = plan_.tailAuto ? song : most;
        if (plan_.refuseWithoutRoom) {
            const std::string shortfall = roomShortfall(plan_, most);
            if (!shortfall.empty())
                throw Exception(shortfall);
        }
        devices_.playSong();
        devices_.openRecording(plan_.format);
        devices_.record(inProgress_, most);
        if (!plan_.stems.empty()) {
            std::vector<int> channels;
            for (const SessionPlan::Stem &stem : plan_.stems)
                channels.push_back(stem.channel);
            devices_.recordStems(channels, stemsInProgress_, most);
        }
        devices_.endRecordingAfterSong(tail);
        platform::crashPoint("start", inProgress_);
    } catch (...) {
        abandon();
        throw;
    }
    setPhase(Phase::Playing);
}

std::string RecordingSession::reserveInProgress(const std::string &target) {
    // The in-progress file goes beside the output, so that the finished
    // recording is renamed into place. A folder that cannot take it is
    // refused now, before anything is recorded.
    std::string inProgress;
    const int fd = platform::makeTemporaryBeside(target, inProgress, kInProgressSuffix);
    if (fd < 0)
        throw Exception("No recording can be made in the folder of " + target + ": " +
                        std::strerror(errno));
    ::close(fd);
    // Whole paths: the note is read by a later run, from any folder.
    RecordingNote note;
    note.output = std::filesystem::absolute(target).lexically_normal().string();
    note.song = std::filesystem::absolute(plan_.song).lexically_normal().string();
    note.started = TimeText(std::time(nullptr), kIsoTime);
    note.tailSeconds = plan_.tailSeconds;
    WriteRecordingNote(inProgress, note);
    if (plan_.ledger)
        plan_.ledger->add(std::filesystem::absolute(inProgress).lexically_normal().string());
    return inProgress;
}

namespace {

// Bytes free for this user in the file system that holds `folder`; false
// when it cannot be asked.
bool roomIn(const std::string &folder, std::uint64_t &free) {
    struct statvfs vfs {};
    if (::statvfs(folder.c_str(), &vfs) != 0)
        return false;
    free = std::uint64_t(vfs.f_bavail) * vfs.f_frsize;
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
    const std::uint64_t bytes =
        std::uint64_t(frames) * std::uint64_t(plan.format.bytesPerFrame()) + 80;
    const std::string output = outputOf(plan);
    std::string folder = output.substr(0, output.rfind('/') + 1);
    if (folder.empty())
        folder = "./";
    std::uint64_t free = 0;
    if (!roomIn(folder, free))
        return {}; // the save says what is wrong with the folder
    if (free < bytes)
        return output + " needs " + megabytes(bytes) + ", and " + folder + " has " +
               megabytes(free) + " free";
    return {};
}

std::string RecordingSession::roomShortfall(const SessionPlan &plan) {
    try {
        const std::int64_t lengthUs =
            plan.parsed ? plan.parsed->lengthUs : audio::readMidiFile(plan.song).lengthUs;
        const int rate = plan.format.sampleRate;
        return roomShortfall(plan,
                             framesOfSong(lengthUs, rate) + std::llround(plan.tailSeconds * rate));
    } catch (const std::exception &) {
        return {}; // the sequencer says what is wrong with the song
    }
}

int RecordingSession::progress() {
    const std::int64_t length = devices_.songLengthUs();
    const std::int64_t position = devices_.songPositionUs();
    // Halves go to the even neighbour; an empty song shows 0 %.
    return length == 0
               ? 0
               : static_cast<int>(std::nearbyint(double(position) / double(length) * 100.0));
}

std::int64_t RecordingSession::recordedFrames() {
    return phase_ == Phase::Playing || phase_ == Phase::Tail ? devices_.recordedFrames()
                                                             : outcome_.frames;
}

void RecordingSession::stopPlayback() {
    if (phase_ == Phase::Playing)
        devices_.stopSong(); // its end notice (or poll) follows
}

void RecordingSession::playbackEnded() {
    // A notice of a run that has moved on, or of an earlier one, is no end.
    if (phase_ != Phase::Playing || devices_.songPlaying())
        return;
    platform::crashPoint("tail", inProgress_);
    // The tail follows the song's end: its last frame, or where it was
    // stopped or cut off (an outside synthesiser that went away).
    devices_.endRecordingAfterSong(tailRule());
    devices_.closeSong();
    setPhase(Phase::Tail);
}

void RecordingSession::recordingEnded() {
    if ((phase_ != Phase::Playing && phase_ != Phase::Tail) || devices_.recording())
        return; // a notice of a run that has moved on, or of an earlier one
    if (phase_ == Phase::Playing)
        playbackEnded();
    write();
    if (outcome_.saved && encoderRuns())
        outcome_.message = encode();
    setPhase(Phase::Idle);
}

bool RecordingSession::poll() {
    if (phase_ == Phase::Playing && !devices_.songPlaying())
        playbackEnded();
    if (phase_ == Phase::Tail && !devices_.recording())
        recordingEnded();
    return phase_ == Phase::Idle;
}

void RecordingSession::endNow() {
    if (phase_ == Phase::Playing) {
        devices_.stopSong();
        playbackEnded();
    }
    if (phase_ != Phase::Tail)
        return;
    write();
    setPhase(Phase::Idle);
}

void RecordingSession::write() {
    setPhase(Phase::Writing);
    devices_.stopRecording();
    outcome_.frames = devices_.recordedFrames();
    // Saved under the output's name; or, for a plan that makes the output
    // itself, saved whole where it was made (still locked by the device),
    // then written into the output.
    std::string error = devices_.saveRecording(plan_.finish ? inProgress_ : output());
    if (error.empty() && plan_.finish)
        error = plan_.finish(inProgress_, output());
    outcome_.saved = error.empty();
    outcome_.message = error;
    if (outcome_.saved) {
        writeStems();
    } else {
        keepElsewhere();
        stemsInProgress_.clear(); // offered again at the next start, with the whole
    }
    devices_.closeRecording();
    if (outcome_.saved || !outcome_.keptAt.empty())
        removeInProgress();
    else
        inProgress_.clear(); // the only copy: offered again at the next start
}

void RecordingSession::writeStems() {
    // Each stem saved whole where it was made, then into its output; one
    // that fails stays in its in-progress file, offered at the next run,
    // and the run says which.
    for (std::size_t i = 0; i < stemsInProgress_.size(); ++i) {
        std::string &inProgress = stemsInProgress_[i];
        std::string error = devices_.saveStem(i, inProgress);
        if (error.empty())
            error = plan_.finishStem(i, inProgress, plan_.stems[i].output);
        if (error.empty())
            forget(inProgress);
        else
            outcome_.message = andThen(outcome_.message, error);
    }
    stemsInProgress_.clear();
}

void RecordingSession::forget(const std::string &inProgress) {
    RemoveInProgress(inProgress);
    if (plan_.ledger)
        plan_.ledger->remove(std::filesystem::absolute(inProgress).lexically_normal().string());
}

void RecordingSession::keepElsewhere() {
    // The output could not be written: the recording stays in its
    // in-progress file for the next run, when the plan says so and the file
    // is still there; else it goes to the first of the home and temporary
    // folders that takes it. The message says where.
    const std::string staysIn =
        "The recording stays in " + inProgress_ + " and is offered again at the next start";
    if (!plan_.keepFailedSaveElsewhere && paths::isFile(inProgress_)) {
        outcome_.message = andThen(outcome_.message, staysIn);
        return;
    }
    const std::string wanted = output();
    std::string name = wanted.substr(wanted.rfind('/') + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".wav") == 0)
        name.resize(name.size() - 4);
    const std::string stamp = TimeText(std::time(nullptr), kStampTime);
    for (const std::string &folder : {paths::homeFolder(), paths::temporaryFolder()}) {
        const std::string path = folder + name + "-recovered-" + stamp + ".wav";
        if (devices_.saveRecording(path).empty()) {
            outcome_.keptAt = path;
            break;
        }
    }
    if (!outcome_.keptAt.empty())
        outcome_.message =
            andThen(outcome_.message, "The recording was kept as " + outcome_.keptAt);
    else if (paths::isFile(inProgress_))
        outcome_.message = andThen(outcome_.message, staysIn);
    else
        outcome_.message =
            andThen(outcome_.message, "The recording could not be kept anywhere either");
}

bool RecordingSession::encoderRuns() const {
    return EncoderRuns(plan_.options);
}

std::string RecordingSession::encode() {
    setPhase(Phase::Encoding);
    const std::string wave = output();
    const std::string mp3 = Mp3PathOf(wave);
    auto failed = [&](const std::string &why) {
        return "The MP3 encoder " + plan_.options.encoder + " failed on " + wave + " (" + why + ")";
    };
    std::string message;
    // The encoder writes under a temporary name beside the MP3, renamed over
    // it once it holds MPEG audio: a link standing under the MP3's name is
    // replaced, never followed, and an encoder that fails leaves nothing.
    // The file stays open, and so locked, while the encoder runs: it is
    // nobody's leftover meanwhile.
    std::string partial;
    const int fd = platform::makeTemporaryBeside(mp3, partial);
    if (fd < 0) {
        message = failed("its MP3 file cannot be made in that folder: " +
                         std::string(std::strerror(errno)));
        setPhase(Phase::Idle);
        return message;
    }
    // What the encoder prints goes to a file of its own when its last line
    // is wanted: it says why an encoder failed.
    std::FILE *said = plan_.keepEncoderOutput ? platform::scratchFile() : nullptr;
    const ProcessHandle process =
        StartEncoder(plan_.options, wave, partial, said ? fileno(said) : -1);
    bool encoded = false;
    if (!process) {
        message =
            "The MP3 encoder " + plan_.options.encoder + " could not be started: " + process.error;
    } else {
        const ProcessEnd end = plan_.waitForEncoder(process);
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
    ::close(fd);
    if (said)
        std::fclose(said);
    setPhase(Phase::Idle);
    return message;
}

void RecordingSession::abandon() {
    if (devices_.songPlaying())
        devices_.stopSong();
    devices_.closeSong();
    devices_.closeRecording();
    removeInProgress();
    setPhase(Phase::Idle);
}

void RecordingSession::removeInProgress() {
    // Nothing is lost: the recording was saved, or the run was abandoned.
    for (const std::string &stem : stemsInProgress_)
        forget(stem);
    stemsInProgress_.clear();
    if (inProgress_.empty())
        return;
    forget(inProgress_);
    inProgress_.clear();
}
