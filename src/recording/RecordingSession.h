// One recording from its plan to the saved file and the MP3: the song's
// guard, the output made from the template, playback and recording, the
// stop, the save and the rescue of a save that fails, and the encoder step.
// The window and kestrune-render both run it; neither holds run logic.
#pragma once

#include "engine/WaveFile.h"
#include "platform/process/Process.h"
#include "settings/Options.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class TMediaPlayer;

namespace audio {
class Engine;
}

/// How a run is driven, the one difference between the window's run and
/// kestrune-render's.
enum class RunStyle {
    /// A person's run in real time: the output is made from the stored
    /// template (renamed to its open name for the moment it is opened, then
    /// back), the sequencer's completion notice ends playback, and the
    /// caller times the tail.
    Window,
    /// A batch job on a driven clock (runFreely): the shipped template is
    /// opened where it lies, so that parallel jobs never race for it, and
    /// the recording ends by itself at the song's last frame plus the tail,
    /// exact to the frame.
    Batch,
};

/// What one run records, decided before it starts.
struct SessionPlan {
    Options options;
    std::string song;
    RunStyle style = RunStyle::Window;
    /// Seconds recorded after playback ends: after the song's last frame
    /// (batch), or from the sequencer's completion notice on (window).
    double tailSeconds = 0;
    /// Batch: instead of a fixed tail, record on after the song's last
    /// frame until the sound has stayed below -90 dBFS for 100 ms (at most
    /// kAutoTailSeconds), so that the last notes end as they ring out.
    bool tailAuto = false;
    /// Batch: the recording's own format, in place of the template of the
    /// options' quality (a rate, depth or channel count of kestrune-render's).
    std::optional<audio::WaveFormat> format;
    /// Batch: the output's path, in place of the options' name for the song.
    std::string output;
    /// Batch: turns the whole recording, the WAVE file `recording`, into
    /// `output` (another container, tags, a gain), which it writes whole
    /// or not at all; empty when it did, else why not. The recording's
    /// in-progress file stays locked meanwhile.
    std::function<std::string(const std::string &recording, const std::string &output)> finish;
};

/// The longest tail that tailAuto records.
inline constexpr double kAutoTailSeconds = 30;

/// How the encoder step waits for the encoder, and what it keeps of what
/// the encoder prints.
struct EncoderWait {
    /// Waits for the started process and says how it ended.
    std::function<ProcessEnd(const ProcessHandle &)> wait;
    /// The encoder's output goes to a file, and its last line into a failure's message.
    bool keepOutput = false;
};

class RecordingSession : public QObject {
    Q_OBJECT
public:
    enum class Phase { Idle, Starting, Playing, Tail, Writing, Encoding };
    Q_ENUM(Phase)

    /// The session runs on the two controllers it is given: a sequencer and
    /// a wave-audio one. They stay the caller's.
    RecordingSession(TMediaPlayer &sequencer, TMediaPlayer &wave, QObject *parent = nullptr);

    Phase phase() const { return phase_; }
    const SessionPlan &plan() const { return plan_; }
    /// The output path: the options' folder and name for the song.
    std::string output() const;

    /// Refuses a song that is the output, gives the recording the template's
    /// format, opens the song and plays it, and records. A file under the
    /// output's name is left alone until the recording is saved over it.
    /// Raises (EMCIDeviceError or Exception) when a step fails; everything
    /// started is then undone, the template is back in place and nothing of
    /// the run is left behind.
    /// In the window's style the sequencer's end comes as its completion notice.
    void start(const SessionPlan &plan);
    /// The progress gauge's value: position / length × 100 of the song,
    /// halves to the even neighbour; 0 for an empty song.
    int progress();
    /// Stops playback; the sequencer's notice ends it (window's "Stop").
    void stopPlayback();
    /// Playback has ended: the sequencer closes and the tail begins.
    void playbackEnded();
    /// The tail in frames at `rate` frames a second (1000: milliseconds,
    /// which the window's timer waits before writing).
    std::int64_t tailFrames(int rate) const;

    /// Batch: drives `engine`'s clock as fast as it renders until the
    /// recording has ended by itself. `progress` hears frames done and in
    /// all now and then. Returns false when `stop` became true (the caller
    /// then abandons the run).
    bool runFreely(audio::Engine &engine,
                   const std::function<void(std::int64_t, std::int64_t)> &progress,
                   const std::atomic<bool> &stop);
    /// Batch: the recording's length in frames of its format.
    std::int64_t recordedFrames() const { return recordedFrames_; }
    int sampleRate() const;

    /// What write() did with the recording.
    struct Saved {
        bool ok = false;     // saved under the output's name
        std::string keptAt;  // else where it was kept, if anywhere
        std::string message; // else what to tell the user
    };
    /// Stops the recording, saves it under the output's name (replacing a
    /// file there in one rename), and closes the device. A save that fails
    /// keeps the recording in the home folder, else the temporary folder.
    /// With a plan's `finish`, the recording is saved whole where it is
    /// made and `finish` writes the output from it; when that fails, the
    /// recording stays in its in-progress file and is offered again.
    Saved write();

    /// Empty when the output's folder and the scratch folder can hold a
    /// recording of `frames` frames of the plan's format, else what is
    /// short, with the numbers and the folder. The second form reads the
    /// song's length itself (nothing is short when it cannot be read).
    static std::string roomShortfall(const SessionPlan &plan, std::int64_t frames);
    /// The output path a plan names.
    static std::string outputOf(const SessionPlan &plan);
    static std::string roomShortfall(const SessionPlan &plan);

    /// Takes `plan` for a recording already saved under its output's name:
    /// only its encoder step follows.
    void adopt(const SessionPlan &plan) { plan_ = plan; }
    /// Whether the encoder runs after a save, by the plan's options.
    bool encoderRuns() const;
    /// Runs the encoder on the saved output and waits for it as `how` says.
    /// The encoder writes a temporary file beside the MP3, renamed over it
    /// once it holds MPEG audio. Returns empty on success, else the message
    /// to show; an encoder that failed or was cut off leaves nothing.
    std::string encode(const EncoderWait &how);
    /// Ends the run as it stands without saving: both devices closed, the
    /// template back, no in-progress file left.
    void abandon();

signals:
    void phaseChanged(RecordingSession::Phase phase);

private:
    void setPhase(Phase phase);
    void prepareOutput();
    void reserveInProgress(const std::string &target);
    void checkRoom() const;
    void keepElsewhere(Saved &saved);
    void removeInProgress();
    void putTemplateBack();
    std::string templateFolder() const;

    TMediaPlayer &sequencer_;
    TMediaPlayer &wave_;
    SessionPlan plan_;
    Phase phase_ = Phase::Idle;
    // The in-progress file the recording is written to, beside the output
    // (or where the output's folder refused it), and renamed into place.
    std::string inProgress_;
    std::int64_t recordedFrames_ = 0;   // batch: where the recording ends
    std::int64_t songFrames_ = 0;       // batch: the song's frames, of the format
    std::int64_t songEngineFrames_ = 0; // batch: the song's engine frames
};
