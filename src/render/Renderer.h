// Records MIDI files into WAVE files one after the other, in the window's
// recording session, on an engine of its own whose clock runs free: as fast
// as the processor renders; or, live, in real time on an instrument heard
// through an input.
#pragma once

#include "engine/Levels.h"
#include "recording/EngineDevices.h"
#include "recording/RecordingSession.h"
#include "render/Finish.h"
#include "render/Job.h"
#include "render/Live.h"
#include "render/Request.h"
#include "render/Result.h"
#include "render/Transport.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace render {

/// Called now and then while a file records: frames done, frames in all.
using ProgressFunction = std::function<void(std::int64_t, std::int64_t)>;

class Renderer {
public:
    /// Starts a free-running engine of its own; the SoundFont loads with
    /// the first file.
    explicit Renderer(const Request &request);
    ~Renderer();
    Renderer(const Renderer &) = delete;
    Renderer &operator=(const Renderer &) = delete;

    /// Records the job's song into its output: the song
    /// from its start to its end, then the tail, exact to the frame; then
    /// the encoder, if asked. The output appears whole or not at all.
    /// `stop` becoming true ends the recording unsaved, or the encoder.
    Result render(const Job &job, const ProgressFunction &progress, const std::atomic<bool> &stop);

    /// --live, before the first song: why the instrument or its input
    /// cannot be used (empty when they can), and what was found that the
    /// user should know (a loud floor, an input that clips).
    std::string checkLive(std::vector<std::string> &warnings);
    /// --live, on the way out: every note on the instrument silenced.
    void silence();

    /// The encoder step alone, for the job whose WAVE file stands already
    /// (its MP3 is missing).
    Result encode(const Job &job, const std::atomic<bool> &stop);

private:
    void startEngine();
    void openOutputs(const Job &job);
    void record(const ProgressFunction &progress, const std::atomic<bool> &stop);
    void removeOutputs();
    void startAfresh();
    SessionPlan planFor(const Job &job, const std::atomic<bool> &stop);
    FinishPlan finishPlanFor(const Job &job) const;

    const Request &request_;
    audio::EngineSettings settings_;
    std::shared_ptr<audio::Engine> engine_;
    std::unique_ptr<LiveRig> live_; // --live
    float floor_ = 0;               // the input's noise floor, as a sample's value
    std::unique_ptr<Transport> transport_;
    std::unique_ptr<EngineDevices> devices_;
    std::unique_ptr<RecordingSession> session_;
    // What hears the recording being made: an output written alongside it,
    // or its levels.
    std::unique_ptr<StreamedOutput> stream_;
    std::unique_ptr<LevelTap> levels_;
    std::vector<std::unique_ptr<LevelTap>> stemLevels_; // each WAVE stem's, as it is written
    std::vector<LevelTap *> keptTaps_;                  // of these, those measured together
    Finished finished_;                                 // of the file last rendered
    std::vector<Result::Stem> stemsDone_;               // and of its stems
};

} // namespace render
