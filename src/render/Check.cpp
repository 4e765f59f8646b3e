// The check of a batch: each output against its song, the output folders
// for leftovers, and the reports for files recorded twice.
#include "render/Check.h"

#include "render/Job.h"

#include "engine/MidiFile.h"
#include "recording/Formats.h"
#include "recording/Interrupted.h"
#include "recording/RunPlan.h"
#include "render/Json.h"
#include "render/Stems.h"

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/file.h>
#include <unistd.h>

namespace render {
namespace {

// Frames a lossy output may lack at its end: more than any codec's frame.
constexpr std::int64_t kCodecFrameSlack = 4096;

// A running recording holds a lock on its in-progress file.
bool inUse(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

// An output's path without its extension: what an interrupted copy is named after.
std::string stemOf(const std::string &path) {
    const auto dot = path.rfind('.');
    return dot == std::string::npos || dot < path.rfind('/') + 1 ? path : path.substr(0, dot);
}

} // namespace

std::string waveProblem(const Request &request, const std::string &file,
                        const std::string &output) {
    const audio::WaveFormat &format = request.encoding.format;
    SF_INFO info{};
    SNDFILE *wave = sf_open(output.c_str(), SFM_READ, &info);
    if (!wave)
        return (std::filesystem::exists(output) ? "unreadable: " : "missing: ") + output + " (of " +
               file + ")";
    // Its last frame read back: a compressed file cut short still names its
    // whole length in its header.
    float last[2];
    const bool whole =
        info.frames == 0 || info.channels > 2 ||
        (sf_seek(wave, info.frames - 1, SEEK_SET) >= 0 && sf_readf_float(wave, last, 1) == 1);
    sf_close(wave);
    if (!whole)
        return "unreadable: " + output + " (of " + file + ": cut short)";
    // The song to its last frame and the tail, as a recording holds them;
    // its loop played as asked; a loop file's intro and pass.
    std::int64_t wanted = 0;
    try {
        const Job job = makeJob(request, file);
        if (!job.song)
            audio::readMidiFile(file); // says why it cannot be read
        if (!job.error.empty())
            return "unreadable song: " + file + " (" + job.error + ")";
        const int rate = request.encoding.engineRate();
        wanted = BatchRecordingFrames(job.song->lengthUs * rate / 1000000, rate, format.sampleRate,
                                      job.fadeSeconds > 0 ? 0 : request.tailSeconds);
        if (job.loopFile && job.loop) {
            const LoopFrames loop = loopFramesOf(*job.loop, format.sampleRate);
            wanted = loop.start + loop.length;
        }
        // A lossy codec may end its last frame early; a frame's length is slack.
        if (request.encoding.lossy())
            wanted = std::max<std::int64_t>(0, wanted - kCodecFrameSlack);
    } catch (const std::exception &e) {
        return "unreadable song: " + file + " (" + e.what() + ")";
    }
    if (info.samplerate != format.sampleRate || info.channels != format.channels)
        return "other format: " + output + " (" + std::to_string(info.samplerate) + " Hz, " +
               std::to_string(info.channels) + " channels)";
    if (info.frames < wanted)
        return "short: " + output + " holds " + std::to_string(info.frames) + " of " +
               std::to_string(wanted) + " frames";
    return {};
}

bool outputsWhole(const Request &request, const std::string &file, const std::string &output) {
    if (!request.stemsOnly && waveProblem(request, file, output).size())
        return false;
    if (request.stems)
        for (const StemOutput &stem : stemOutputsOf(request, file, output))
            if (!waveProblem(request, file, stem.path).empty())
                return false;
    return true;
}

int runCheck(const Request &request) {
    std::size_t checked = 0, problems = 0;
    auto problem = [&](const std::string &line) {
        std::printf("%s\n", line.c_str());
        ++problems;
    };
    std::set<std::string> folders, unwhole;
    for (const std::string &file : request.files) {
        if (!inShard(request, file))
            continue;
        ++checked;
        const std::string output = outputOf(request, file);
        const std::string folder = output.substr(0, output.rfind('/') + 1);
        folders.insert(folder.empty() ? "./" : folder);
        if (request.stems) {
            // Each stem whole; a stem missing or short is a problem.
            folders.insert(stemFolderOf(output));
            for (const StemOutput &stem : stemOutputsOf(request, file, output))
                if (const std::string wrong = waveProblem(request, file, stem.path); !wrong.empty())
                    problem(wrong);
            if (request.stemsOnly)
                continue;
        }
        const std::string wave = waveProblem(request, file, output);
        if (!wave.empty()) {
            problem(wave);
            unwhole.insert(stemOf(output));
            if (wave.rfind("missing: ", 0) == 0 || wave.rfind("unreadable", 0) == 0)
                continue;
        }
        if (EncoderRuns(request.options) && !HoldsMpegAudio(Mp3PathOf(output)))
            problem("no MP3: " + Mp3PathOf(output));
    }
    // What a run leaves only while it writes, or when it was killed.
    for (const std::string &folder : folders) {
        std::error_code error;
        for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
            const std::string name = entry.path().filename().string();
            const std::string path = entry.path().string();
            if (name.rfind(".kestrune-", 0) == 0 && name.ends_with(kInProgressSuffix)) {
                problem((inUse(path) ? "in progress: " : "interrupted: ") + path +
                        " (a recording being made, or cut off by a crash)");
            } else if (name.rfind(".kestrune-", 0) == 0) {
                problem(inUse(path) ? "being written: " + path + " (a file a run is writing)"
                                    : "left over: " + path + " (a file a run left half-written)");
            } else if (const auto cut = name.find("-interrupted-");
                       cut != std::string::npos && name.ends_with(".wav")) {
                // Kept from a recording a crash cut off; it matters while its
                // output is not whole.
                const std::string stem =
                    (folder == "./" ? std::string() : folder) + name.substr(0, cut);
                if (unwhole.count(stem))
                    problem("interrupted: " + path + " (kept from a recording of " + stem +
                            " that was cut off)");
            }
        }
    }
    // An input recorded more than once, in any of the reports.
    std::map<std::string, int> recorded;
    for (const std::string &report : request.reports) {
        std::ifstream in(report);
        for (std::string line; std::getline(in, line);) {
            std::map<std::string, std::string> o;
            if (jsonStrings(line, o) && o["status"] == "ok")
                ++recorded[o["input"]];
        }
    }
    for (const auto &[input, times] : recorded)
        if (times > 1)
            problem("doubled: " + input + " was recorded " + std::to_string(times) +
                    " times in the reports");
    std::fprintf(stderr, "%zu files checked, %zu problems\n", checked, problems);
    return problems == 0 ? 0 : 1;
}

} // namespace render
