// One file's recording through MCI on a driven engine, the quiet between
// two files, and the encoder's run.
#include "render/Renderer.h"

#include "app/Exception.h"
#include "platform/Paths.h"
#include "platform/audio/DeviceConfig.h"
#include "platform/audio/Engine.h"
#include "platform/audio/Synthesiser.h"
#include "platform/mci/Mci.h"
#include "recording/Formats.h"
#include "recording/RunPlan.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace render {
namespace {

using namespace mci;

// Periods rendered between two looks at the devices (about 93 ms of sound).
constexpr std::int64_t kBatchFrames = 16 * audio::kPeriodFrames;

std::string errorText(MCIERROR code) {
    char text[4096];
    if (!getErrorString(code, text, sizeof text))
        return "MCI error " + std::to_string(code);
    return text;
}

// A device opened for one file, closed however the file ends.
class OpenDevice {
public:
    OpenDevice(const char *type, const std::string &element) {
        MCI_OPEN_PARMS p;
        p.lpstrDeviceType = type;
        p.lpstrElementName = element.c_str();
        const MCIERROR result =
            sendCommand(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, &p);
        if (result != 0)
            throw Exception(errorText(result));
        id_ = p.wDeviceID;
    }
    ~OpenDevice() {
        MCI_GENERIC_PARMS p;
        sendCommand(id_, MCI_CLOSE, MCI_WAIT, &p);
    }
    OpenDevice(const OpenDevice &) = delete;
    OpenDevice &operator=(const OpenDevice &) = delete;

    void command(unsigned command, DWORD flags, void *params) const {
        const MCIERROR result = sendCommand(id_, command, flags, params);
        if (result != 0)
            throw Exception(errorText(result));
    }
    void inSamples() const {
        MCI_SET_PARMS p;
        p.dwTimeFormat = MCI_FORMAT_SAMPLES;
        command(MCI_SET, MCI_WAIT | MCI_SET_TIME_FORMAT, &p);
    }
    std::int64_t status(DWORD item) const {
        MCI_STATUS_PARMS p;
        p.dwItem = item;
        command(MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, &p);
        return static_cast<std::int64_t>(p.dwReturn);
    }

private:
    MCIDEVICEID id_ = 0;
};

} // namespace

Renderer::Renderer(const Request &request) : request_(request) {
    if (!request.soundFont.empty())
        audio::setSoundFont(request.soundFont);
    audio::Engine::setClock(audio::Engine::Clock::Driven);
    // Held for the whole batch: the SoundFont loads once.
    engine_ = audio::Engine::acquire();
}

Renderer::~Renderer() = default;

Result Renderer::render(const std::string &song, const std::string &output,
                        const ProgressFunction &progress, const std::atomic<bool> &stop) {
    Result result;
    const int quality = request_.options.quality;
    const RecordingFormat &format = kRecordingFormats[std::size_t(quality)];
    try {
        RefuseSongAsOutput(output, song);
        const OpenDevice sequencer("Sequencer", song);
        sequencer.inSamples();
        const std::int64_t songFrames = sequencer.status(MCI_STATUS_LENGTH);
        // The templates as shipped: a run here renames nothing.
        const OpenDevice wave("WaveAudio", paths::shippedTemplateFolder() +
                                               TemplateBaseNameOf(quality) + ".bin");
        wave.inSamples();
        // The song to its last frame, then the tail, in frames of the format.
        const std::int64_t total =
            (songFrames * format.sampleRate + audio::kSampleRate - 1) / audio::kSampleRate +
            std::llround(request_.tailSeconds * format.sampleRate);

        // Both start at the engine's next period: nothing renders in between.
        MCI_PLAY_PARMS play;
        sequencer.command(MCI_PLAY, 0, &play);
        MCI_RECORD_PARMS record;
        record.dwTo = static_cast<DWORD>(total);
        wave.command(MCI_RECORD, MCI_TO, &record);

        auto lastReport = std::chrono::steady_clock::now();
        while (wave.status(MCI_STATUS_MODE) == MCI_MODE_RECORD) {
            if (stop)
                throw Exception("interrupted");
            {
                std::lock_guard<std::mutex> guard(engine_->lock());
                engine_->drive(kBatchFrames);
            }
            const auto now = std::chrono::steady_clock::now();
            if (progress && now - lastReport > std::chrono::milliseconds(100)) {
                lastReport = now;
                progress(wave.status(MCI_STATUS_POSITION), total);
            }
        }
        MCI_GENERIC_PARMS stopParms;
        wave.command(MCI_STOP, MCI_WAIT, &stopParms);
        MCI_SAVE_PARMS save;
        save.lpfilename = output.c_str();
        wave.command(MCI_SAVE, MCI_WAIT | MCI_SAVE_FILE, &save);
        result.frames = total;
        result.seconds = double(total) / format.sampleRate;
        if (progress)
            progress(total, total);
    } catch (const Exception &e) {
        result.error = e.what();
        startAfresh();
        return result;
    }
    startAfresh();
    if (EncoderRuns(request_.options)) {
        result.error = encode(output, stop);
        if (!result.error.empty())
            return result;
    }
    result.status = Result::Status::Ok;
    return result;
}

void Renderer::startAfresh() {
    // The next file starts on a synthesiser with no history: nothing of
    // this one sounds on, and its reverb and chorus start as in a file
    // recorded alone.
    std::lock_guard<std::mutex> guard(engine_->lock());
    std::string error;
    engine_->renewSynthesiser(error);
}

std::string Renderer::encode(const std::string &wave, const std::atomic<bool> &stop) {
    const std::string &encoder = request_.options.encoder;
    // What the encoder prints goes to a file of its own: it would break the
    // progress lines, and its last line says why it failed.
    FILE *said = std::tmpfile();
    const ProcessHandle process = StartEncoder(request_.options, wave, said ? fileno(said) : -1);
    if (!process) {
        if (said)
            std::fclose(said);
        return "The MP3 encoder " + encoder + " could not be started: " + process.error;
    }
    int status = 0;
    bool ended = false;
    while (::waitpid(process.pid, &status, 0) < 0) {
        if (errno != EINTR)
            break;
        if (stop && !ended) {
            ::kill(-process.pid, SIGTERM);
            ended = true;
        }
    }
    std::string last;
    if (said) {
        std::rewind(said);
        char line[1024];
        while (std::fgets(line, sizeof line, said))
            if (line[0] != '\n')
                last = line;
        std::fclose(said);
    }
    while (!last.empty() && (last.back() == '\n' || last.back() == '\r'))
        last.pop_back();
    const ProcessEnd end{status, ended};
    if (ended)
        std::remove(Mp3PathOf(wave).c_str()); // cut off: unfinished
    if (ended || !end.succeeded()) {
        return "The MP3 encoder " + encoder + " failed on " + wave + " (" +
               (ended ? std::string("interrupted") : end.describe()) + ")" +
               (last.empty() ? "" : ": " + last);
    }
    return {};
}

} // namespace render
