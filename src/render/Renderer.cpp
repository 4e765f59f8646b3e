// One file's recording in the recording session on a driven engine, and the
// quiet between two files.
#include "render/Renderer.h"

#include "engine/Engine.h"
#include "platform/Exception.h"
#include "render/Stems.h"

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace render {

Renderer::Renderer(const Request &request) : request_(request) {
    audio::EngineSettings &settings = settings_;
    // Live: in real time, on the instrument and the input named.
    settings.clock = request.live ? audio::Engine::Clock::Steady : audio::Engine::Clock::Driven;
    settings.devices = request.live ? liveDevices(request) : audio::readDevicesConfig();
    settings.soundFont = request.soundFont;
    settings.sampleRate = request.encoding.engineRate();
    settings.stems = request.stems;
    settings.dryStems = request.dryStems;
    settings.parts = request.parts;
    settings.dither = request.dither;
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
    startEngine();
}

void Renderer::startEngine() {
    // The whole batch's: the SoundFont loads once.
    transport_.reset();
    session_.reset();
    devices_.reset();
    live_.reset();
    engine_ = std::make_shared<audio::Engine>(settings_);
    devices_ = std::make_unique<EngineDevices>(engine_);
    session_ = std::make_unique<RecordingSession>(*devices_);
    if (request_.live) {
        ResetKind reset = ResetKind::Gm;
        parseReset(request_.reset, reset);
        live_ = std::make_unique<LiveRig>(engine_, reset);
        live_->namedBy(request_.midiPort.empty() ? "" : "--midi-port",
                       request_.input.empty() ? "" : "--input");
        transport_ =
            std::make_unique<LiveTransport>(*engine_, *live_, floor_, settings_.devices.offset);
    } else {
        transport_ = std::make_unique<OfflineTransport>(*engine_);
    }
}

Renderer::~Renderer() {
    transport_.reset();
    session_.reset();
    devices_.reset();
    live_.reset();
}

std::string Renderer::checkLive(std::vector<std::string> &warnings) {
    if (std::string problem = live_->problem(); !problem.empty())
        return problem;
    const audio::DevicesConfig &devices = settings_.devices;
    const std::string input = devices.realInput() ? devices.inputDevice : "the loopback";
    std::string error;
    if (!engine_->outsideSynthesiser() && !engine_->ensureSynthesiser(error))
        return error;
    if (!engine_->outsideSynthesiser()) {
        std::lock_guard<std::mutex> guard(engine_->lock());
        engine_->startSynthesiser(engine_->nextPeriodFrame());
    }
    // A second of the input with nothing playing: its noise floor.
    live_->meter().clear();
    if (std::string why = live_->measureFloor(floor_); !why.empty())
        return why;
    char text[300];
    const double floorDb = audio::decibels(floor_);
    if (floorDb > -50) {
        std::snprintf(text, sizeof text,
                      "the input %s is noisy: its floor is %.1f dBFS with nothing playing "
                      "(a quiet one is below -50 dBFS)",
                      input.c_str(), floorDb);
        warnings.push_back(text);
    }
    if (!live_->hearsANote())
        return "no sound came back through the input " + input + " when a note was played on " +
               (engine_->outsideSynthesiser() ? devices.port : "the internal synthesiser") +
               ": is the instrument's output connected to it, and is it on?";
    if (live_->meter().clipped() > 0)
        warnings.push_back("the input " + input +
                           " clipped on a loud test note: turn the instrument or the input down "
                           "(--level-check helps)");
    return {};
}

void Renderer::silence() {
    transport_->silence();
}

Result Renderer::render(const Job &job, const ProgressFunction &progress,
                        const std::atomic<bool> &stop) {
    Result result;
    try {
        if (!job.error.empty())
            throw Exception(job.error);
        // A lost instrument or input ended the last song: connect again,
        // or fail this one clearly.
        if (live_ && engine_->broken())
            startEngine();
        transport_->beforeSong(result);
        openOutputs(job);
        session_->start(planFor(job, stop));
        record(progress, stop);
        const RecordingSession::Outcome &outcome = session_->outcome();
        if (const std::string cutOff = transport_->afterSong(result); !cutOff.empty()) {
            // What was recorded of a song cut off is no output.
            if (outcome.saved)
                removeOutputs();
            throw Exception(cutOff);
        }
        if (outcome.saved) {
            result.frames = outcome.frames;
            result.seconds = double(outcome.frames) / request_.encoding.format.sampleRate;
            result.levels = finished_.levels;
            result.measured = finished_.measured;
            result.gainDb = finished_.gainDb;
            result.stems = stemsDone_;
            if (const std::optional<LoopFrames> loop = finishPlanFor(job).loop) {
                result.frames = loop->start + loop->length;
                result.seconds = double(result.frames) / request_.encoding.format.sampleRate;
                result.loopStart = loop->start;
                result.loopLength = loop->length;
            }
        }
        if (!outcome.message.empty())
            throw Exception(outcome.message);
        result.status = Result::Status::Ok;
    } catch (const Exception &e) {
        result.error = e.what();
    }
    devices_->tap(nullptr);
    devices_->tapStems({});
    stream_.reset(); // one not finished is removed
    keptTaps_.clear();
    levels_.reset();
    stemLevels_.clear();
    // A song cut short leaves nothing sounding on the instrument; one that
    // ended meets the next song's reset (and the batch's end, silence()).
    if (stop || result.status != Result::Status::Ok)
        silence();
    startAfresh();
    return result;
}

void Renderer::openOutputs(const Job &job) {
    // What the recording holds is heard as it is written, so that it need
    // not be read again: a lossless output of another container is written
    // alongside it; otherwise its levels are measured where they are wanted
    // (a WAVE output is the recording; a gain to a loudness needs them
    // first).
    const FinishPlan how = finishPlanFor(job);
    const audio::WaveFormat format = request_.encoding.recordingFormat();
    stemsDone_.clear();
    if (StreamedOutput::suits(how) && !request_.stemsOnly) {
        auto stream = std::make_unique<StreamedOutput>();
        if (stream->open(job.output, format, how))
            stream_ = std::move(stream);
    }
    // Offline, the taps are written on this thread: a song's WAVE stems
    // and its mix keep what they hear until the engine has gone on by a
    // step, then measure it two by two.
    const bool keeps = !live_ && request_.stems && request_.encoding.container == Container::Wav;
    keptTaps_.clear();
    if (!stream_ && ((request_.encoding.container == Container::Wav && !request_.stemsOnly) ||
                     request_.normalize))
        levels_ = std::make_unique<LevelTap>(format, keeps);
    devices_->tap(stream_ ? static_cast<audio::RecordingTap *>(stream_.get()) : levels_.get());
    if (levels_ && keeps)
        keptTaps_.push_back(levels_.get());
    // WAVE stems too are measured as they are written; those of another
    // container are measured as they are written into it.
    std::vector<audio::RecordingTap *> stemTaps;
    if (request_.stems && request_.encoding.container == Container::Wav)
        for (std::size_t i = 0; i < job.stems.size(); ++i) {
            LevelTap *tap =
                stemLevels_.emplace_back(std::make_unique<LevelTap>(format, keeps)).get();
            stemTaps.push_back(tap);
            if (keeps)
                keptTaps_.push_back(tap);
        }
    devices_->tapStems(std::move(stemTaps));
}

void Renderer::record(const ProgressFunction &progress, const std::atomic<bool> &stop) {
    // The song's time goes on until the session has the recording whole
    // (it ends by itself after the tail), saved and encoded.
    auto lastReport = std::chrono::steady_clock::now();
    const std::int64_t total = session_->plannedFrames();
    while (!session_->poll()) {
        if (stop) {
            session_->abandon();
            throw Exception("interrupted");
        }
        transport_->advance();
        LevelTap::measureTogether(keptTaps_);
        const auto now = std::chrono::steady_clock::now();
        if (progress && now - lastReport > std::chrono::milliseconds(100)) {
            lastReport = now;
            progress(std::min(session_->recordedFrames(), total), total);
        }
    }
    if (progress)
        progress(total, total);
}

void Renderer::removeOutputs() {
    std::error_code ignored;
    std::filesystem::remove(session_->output(), ignored);
    for (const Result::Stem &stem : stemsDone_)
        std::filesystem::remove(stem.output, ignored);
}

Result Renderer::encode(const Job &job, const std::atomic<bool> &stop) {
    Result result;
    session_->adopt(planFor(job, stop));
    SF_INFO info{};
    if (SNDFILE *wave = sf_open(session_->output().c_str(), SFM_READ, &info)) {
        result.frames = info.frames;
        result.seconds = info.samplerate > 0 ? double(info.frames) / info.samplerate : 0;
        sf_close(wave);
    }
    std::string error;
    result.measured = audio::measureLevels(session_->output(), result.levels, error);
    result.error = session_->encode();
    if (result.error.empty())
        result.status = Result::Status::Ok;
    return result;
}

SessionPlan Renderer::planFor(const Job &job, const std::atomic<bool> &stop) {
    const std::string &song = job.input;
    SessionPlan plan;
    plan.options = request_.options;
    if (!request_.base.empty() && request_.options.preferDirectory) {
        // Below --base, the song's folders are mirrored under the output folder.
        plan.options.directory = outputFolderOf(request_, song);
        std::error_code error;
        std::filesystem::create_directories(plan.options.directory, error);
    }
    plan.song = song;
    plan.parsed = job.song;
    plan.format = request_.encoding.recordingFormat();
    plan.tailSeconds = request_.tailSeconds;
    plan.tailAuto = request_.tailAuto;
    if (job.fadeSeconds > 0) {
        // A song that fades out ends with its fade.
        plan.fadeSeconds = job.fadeSeconds;
        plan.tailSeconds = 0;
        plan.tailAuto = false;
    }
    if (job.loopFile && job.loop) {
        // What a loop file keeps ends with the second pass; a little more
        // is recorded, for the frames' rounding.
        plan.tailSeconds = 0.05;
        plan.tailAuto = false;
    }
    plan.quietLevel = transport_->quietLevel();
    plan.output = job.output;
    plan.refuseWithoutRoom = true;
    plan.waitForEncoder = [&stop](const ProcessHandle &process) {
        return WaitForProcess(process, stop);
    };
    plan.keepEncoderOutput = true;
    // The recording becomes the output in its last step: measured, brought
    // to a loudness if asked, tagged, in its container.
    const FinishPlan finishing = finishPlanFor(job);
    plan.finish = [this, finishing](const std::string &recording, const std::string &output) {
        finished_ = Finished{};
        if (stream_)
            return stream_->finish(output, finished_);
        FinishPlan how = finishing;
        if (levels_ && levels_->ok())
            how.recorded = levels_->levels();
        if (request_.stemsOnly) {
            // The whole song is no output: only its gain, for the stems.
            if (how.recorded && how.normalize)
                finished_.gainDb =
                    audio::normalizingGain(*how.recorded, how.loudness, how.truePeak);
            return std::string();
        }
        return finishOutput(recording, output, how, finished_);
    };
    if (request_.stems) {
        for (const StemOutput &stem : job.stems)
            plan.stems.push_back(SessionPlan::Stem{stem.channel, stem.path});
        // One gain for the whole set, the song's: they still add up to it.
        plan.finishStem = [this, finishing](std::size_t index, const std::string &recording,
                                            const std::string &output) {
            FinishPlan how = finishing;
            how.gainDb = finished_.gainDb;
            if (index < stemLevels_.size() && stemLevels_[index]->ok())
                how.recorded = stemLevels_[index]->levels();
            Finished done;
            const std::string error = finishOutput(recording, output, how, done);
            if (error.empty())
                stemsDone_.push_back(Result::Stem{output, done.levels, done.measured});
            return error;
        };
    }
    return plan;
}

FinishPlan Renderer::finishPlanFor(const Job &job) const {
    FinishPlan how;
    how.encoding = request_.encoding;
    how.tags = job.tags;
    how.normalize = request_.normalize;
    how.loudness = request_.loudness;
    how.truePeak = request_.truePeak;
    if (job.loopFile && job.loop)
        how.loop = loopFramesOf(*job.loop, request_.encoding.recordingFormat().sampleRate);
    return how;
}

void Renderer::startAfresh() {
    if (engine_->outsideSynthesiser())
        return; // reset before the next song instead
    // The next file starts on a synthesiser with no history: nothing of
    // this one sounds on, and its reverb and chorus start as in a file
    // recorded alone.
    std::lock_guard<std::mutex> guard(engine_->lock());
    std::string error;
    engine_->renewSynthesiser(error);
}

} // namespace render
