// One file's recording in the recording session on a driven engine, and the
// quiet between two files.
#include "render/Renderer.h"

#include "engine/Engine.h"
#include "engine/SoundSystem.h"
#include "media/MPlayer.h"
#include "platform/Exception.h"
#include "recording/RecordingSession.h"

#include <sndfile.h>

#include <filesystem>

namespace render {

Renderer::Renderer(const Request &request) : request_(request) {
    audio::EngineSettings settings;
    settings.clock = audio::Engine::Clock::Driven;
    settings.devices = audio::readDevicesConfig();
    settings.soundFont = request.soundFont;
    settings.sampleRate = request.encoding.engineRate();
    // The command line's controls over devices.ini's [Synth] keys.
    audio::SynthControls &synth = settings.devices.synth;
    const audio::SynthControls &given = request.synth;
    for (auto [to, from] : {std::pair{&synth.gain, &given.gain},
                            {&synth.reverb, &given.reverb},
                            {&synth.reverbLevel, &given.reverbLevel},
                            {&synth.chorus, &given.chorus},
                            {&synth.chorusLevel, &given.chorusLevel},
                            {&synth.polyphony, &given.polyphony},
                            {&synth.interpolation, &given.interpolation}})
        if (!from->empty())
            *to = *from;
    if (!given.settings.empty())
        synth.settings += (synth.settings.empty() ? "" : ";") + given.settings;
    synth.gainDb = given.gainDb;
    if (!request.soundFont.empty()) {
        synth.moreSoundFonts.clear();
        for (const std::string &more : request.moreSoundFonts)
            synth.moreSoundFonts += (synth.moreSoundFonts.empty() ? "" : ";") + more;
    }
    sound_ = std::make_shared<audio::SoundSystem>(settings);
    audio::SoundSystem::install(sound_);
    // Held for the whole batch: the SoundFont loads once.
    engine_ = sound_->acquire();
    sequencer_ = std::make_unique<TMediaPlayer>();
    sequencer_->DeviceType = dtSequencer;
    wave_ = std::make_unique<TMediaPlayer>();
    wave_->DeviceType = dtWaveAudio;
    session_ = std::make_unique<RecordingSession>(*sequencer_, *wave_);
}

Renderer::~Renderer() {
    session_.reset();
    sequencer_.reset();
    wave_.reset();
    engine_.reset();
    audio::SoundSystem::install(nullptr);
}

Result Renderer::render(const std::string &song, const ProgressFunction &progress,
                        const std::atomic<bool> &stop) {
    Result result;
    bool saved = false;
    try {
        session_->start(planFor(song));
        if (!session_->runFreely(*engine_, progress, stop)) {
            session_->abandon();
            throw Exception("interrupted");
        }
        const RecordingSession::Saved written = session_->write();
        if (!written.ok)
            throw Exception(written.message);
        saved = true;
        result.frames = session_->recordedFrames();
        result.seconds = double(result.frames) / session_->sampleRate();
    } catch (const Exception &e) {
        result.error = e.what();
    }
    startAfresh();
    if (!saved)
        return result;
    result.levels = finished_.levels;
    result.measured = finished_.measured;
    result.gainDb = finished_.gainDb;
    if (session_->encoderRuns()) {
        result.error = runEncoder(stop);
        if (!result.error.empty())
            return result;
    }
    result.status = Result::Status::Ok;
    return result;
}

Result Renderer::encode(const std::string &song, const std::atomic<bool> &stop) {
    Result result;
    session_->adopt(planFor(song));
    SF_INFO info{};
    if (SNDFILE *wave = sf_open(session_->output().c_str(), SFM_READ, &info)) {
        result.frames = info.frames;
        result.seconds = info.samplerate > 0 ? double(info.frames) / info.samplerate : 0;
        sf_close(wave);
    }
    std::string error;
    result.measured = audio::measureLevels(session_->output(), result.levels, error);
    result.error = runEncoder(stop);
    if (result.error.empty())
        result.status = Result::Status::Ok;
    return result;
}

SessionPlan Renderer::planFor(const std::string &song) {
    SessionPlan plan;
    plan.options = request_.options;
    if (!request_.base.empty() && request_.options.preferDirectory) {
        // Below --base, the song's folders are mirrored under the output folder.
        plan.options.directory = outputFolderOf(request_, song);
        std::error_code error;
        std::filesystem::create_directories(plan.options.directory, error);
    }
    plan.song = song;
    plan.style = RunStyle::Batch;
    plan.tailSeconds = request_.tailSeconds;
    plan.tailAuto = request_.tailAuto;
    plan.output = outputOf(request_, song);
    if (request_.encoding.quality < 0)
        plan.format = request_.encoding.recordingFormat();
    // The recording becomes the output in its last step: measured, brought
    // to a loudness if asked, tagged, in its container.
    plan.finish = [this, song](const std::string &recording, const std::string &output) {
        FinishPlan how;
        how.encoding = request_.encoding;
        how.tags = tagsOf(song);
        how.normalize = request_.normalize;
        how.loudness = request_.loudness;
        how.truePeak = request_.truePeak;
        finished_ = Finished{};
        return finishOutput(recording, output, how, finished_);
    };
    return plan;
}

std::string Renderer::runEncoder(const std::atomic<bool> &stop) {
    EncoderWait how;
    how.wait = [&stop](const ProcessHandle &process) { return WaitForProcess(process, stop); };
    how.keepOutput = true;
    return session_->encode(how);
}

void Renderer::startAfresh() {
    // The next file starts on a synthesiser with no history: nothing of
    // this one sounds on, and its reverb and chorus start as in a file
    // recorded alone.
    std::lock_guard<std::mutex> guard(engine_->lock());
    std::string error;
    engine_->renewSynthesiser(error);
}

} // namespace render
