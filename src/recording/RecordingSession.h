// One recording from its plan to the saved file and the MP3: the song's
// guard, playback and recording into an in-progress file, the tail after the
// song, the save (or the rescue of a save that fails), and the encoder step.
// The window and kestrune-render both run it, each on its devices; neither
// holds run logic.
#pragma once

#include "engine/WaveFile.h"
#include "platform/process/Process.h"
#include "recording/RunDevices.h"
#include "settings/Options.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class RecordingsLedger;

/// What one run records, decided before it starts.
struct SessionPlan {
    Options options; // the output's folder and name, the encoder
    std::string song;
    /// The song, read from `song` already; null: it is read when it plays.
    std::shared_ptr<const audio::MidiSong> parsed;
    /// The recording's format: the one value that goes from where it was
    /// chosen (the window's template, kestrune-render's command line) to the
    /// header of the file.
    audio::WaveFormat format;
    /// The output's path; empty: the options' folder and name for the song.
    std::string output;
    /// Seconds recorded after the song's end (after its last frame, or where
    /// it was stopped), exact to the frame.
    double tailSeconds = 0;
    /// Instead of a fixed tail, record on after the song's end until the
    /// sound has stayed below -90 dBFS for 100 ms (at most kAutoTailSeconds),
    /// so that the last notes end as they ring out.
    bool tailAuto = false;
    /// The level, as a sample's value, that tailAuto's sound must stay
    /// below (a live input's noise floor); 0: -90 dBFS.
    float quietLevel = 0;
    /// The song's last seconds fade out to silence, the recording ending
    /// with them (no tail); 0: none.
    double fadeSeconds = 0;
    /// Turns the whole recording, the WAVE file `recording`, into `output`
    /// (another container, tags, a gain), which it writes whole or not at
    /// all; empty when it did, else why not. Without it the recording is
    /// saved under the output's name itself.
    std::function<std::string(const std::string &recording, const std::string &output)> finish;
    /// A song whose recording the output's folder cannot hold is refused
    /// before it starts (a batch; the window asks the person first).
    bool refuseWithoutRoom = false;
    /// A recording whose output cannot be written is copied now into the
    /// home folder (else the temporary folder), as a person at the window
    /// expects; otherwise it stays in its in-progress file, which the next
    /// run offers.
    bool keepFailedSaveElsewhere = false;
    /// Waits for the encoder and says how it ended; and whether what it
    /// prints is kept, its last line going into a failure's message.
    std::function<ProcessEnd(const ProcessHandle &)> waitForEncoder;
    bool keepEncoderOutput = false;
    /// Where the in-progress file is noted while it exists, so that it is
    /// found after a crash wherever it lies; none when null.
    RecordingsLedger *ledger = nullptr;
    /// Channels recorded each on its own besides the whole (kestrune-render's
    /// stems), frame for frame with it, each through an in-progress file
    /// beside its output; once the whole is saved, `finishStem` turns each
    /// into its output as `finish` does the whole's (it must be set).
    struct Stem {
        int channel = 0;
        std::string output;
    };
    std::vector<Stem> stems;
    std::function<std::string(std::size_t stem, const std::string &recording,
                              const std::string &output)>
        finishStem;
};

/// The longest tail that tailAuto records.
inline constexpr double kAutoTailSeconds = 30;

class RecordingSession {
public:
    enum class Phase { Idle, Starting, Playing, Tail, Writing, Encoding };

    /// How the last run ended.
    struct Outcome {
        bool saved = false;      // the recording is under the output's name
        std::string keptAt;      // else where it was kept, if anywhere
        std::string message;     // why it was not saved, or why the encoder failed
        std::int64_t frames = 0; // what the recording holds
    };

    /// The session runs on `devices`, which stay the caller's.
    explicit RecordingSession(RunDevices &devices);
    RecordingSession(const RecordingSession &) = delete;
    RecordingSession &operator=(const RecordingSession &) = delete;

    /// Told each new phase, on the thread that moved the session on.
    std::function<void(Phase)> onPhase;

    Phase phase() const { return phase_; }
    const SessionPlan &plan() const { return plan_; }
    const Outcome &outcome() const { return outcome_; }
    /// The output path: the plan's, or the options' folder and name for the song.
    std::string output() const;
    static std::string outputOf(const SessionPlan &plan);

    /// Refuses a song that is the output, opens the song and plays it, and
    /// records in the plan's format into an in-progress file beside the
    /// output, to end by itself after the song and its tail. A file under
    /// the output's name is left alone until the recording is saved over
    /// it. Raises (Exception, or the devices' errors) when a step fails;
    /// everything started is then undone and nothing of the run is left.
    void start(const SessionPlan &plan);
    /// The progress gauge's value: position / length × 100 of the song,
    /// halves to the even neighbour; 0 for an empty song.
    int progress();
    /// Stops playback early (its end comes as when it ends by itself):
    /// the tail follows from where it stopped.
    void stopPlayback();
    /// Playback has ended (its end notice, or poll()): the sequencer is
    /// closed and the tail runs. Nothing outside the playing phase.
    void playbackEnded();
    /// The recording has reached its end (its end notice, or poll()): it is
    /// saved, the encoder runs if asked, and the session is idle again with
    /// its outcome. Nothing while the devices still record.
    void recordingEnded();
    /// For a front end that hears no notices: looks at the devices and moves
    /// the session on as their notices would. True once it is idle.
    bool poll();
    /// Ends the run now, as the program ends: playback and the recording
    /// stop at once and the recording is saved, without the encoder.
    void endNow();
    /// Ends the run as it stands without saving: both devices closed, no
    /// in-progress file left.
    void abandon();

    /// The frames recorded so far, and those the whole recording will hold
    /// (with an automatic tail: the song's).
    std::int64_t recordedFrames();
    std::int64_t plannedFrames() const { return plannedFrames_; }

    /// Empty when the output's folder can hold a recording of `frames`
    /// frames of the plan's format, else what is short, with the numbers
    /// and the folder. The second form reads the song's length itself
    /// (nothing is short when it cannot be read).
    static std::string roomShortfall(const SessionPlan &plan, std::int64_t frames);
    static std::string roomShortfall(const SessionPlan &plan);

    /// Takes `plan` for a recording already saved under its output's name:
    /// only its encoder step follows.
    void adopt(const SessionPlan &plan) { plan_ = plan; }
    /// Whether the encoder runs after a save, by the plan's options.
    bool encoderRuns() const;
    /// Runs the encoder on the saved output and waits for it as the plan
    /// says. The encoder writes a temporary file beside the MP3, renamed
    /// over it once it holds MPEG audio. Returns empty on success, else the
    /// message to show; an encoder that failed or was cut off leaves nothing.
    std::string encode();

private:
    void setPhase(Phase phase);
    std::string reserveInProgress(const std::string &target);
    void writeStems();
    void write();
    void keepElsewhere();
    void removeInProgress();
    void forget(const std::string &inProgress);
    TailRule tailRule() const;

    RunDevices &devices_;
    SessionPlan plan_;
    Phase phase_ = Phase::Idle;
    Outcome outcome_;
    // The in-progress file the recording is written to, beside the output,
    // and renamed into place.
    std::string inProgress_;
    std::vector<std::string> stemsInProgress_; // the stems', alike
    std::int64_t plannedFrames_ = 0;
};
