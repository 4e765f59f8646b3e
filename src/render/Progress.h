// What kestrune-render shows while it works: a bar for each file being
// recorded and a total on a terminal, plain lines otherwise.
#pragma once

#include "render/Renderer.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace render {

/// A file being recorded, as the display sees it.
struct Running {
    std::string name;
    std::int64_t done = 0, total = 0; // frames
    int sampleRate = 44100;
};

class Progress {
public:
    /// `fd` is where it writes (standard error); a terminal gets the bars.
    Progress(int fd, bool quiet, std::size_t files);

    /// A file has ended: a line that stays.
    void finished(const std::string &input, const std::string &output, const Result &result);
    /// The bars of the running files and the total, at most ten times a second.
    /// A live batch knows the real time its waiting files take
    /// (`waitingSeconds`, else -1), and its remaining time is that.
    void update(const std::vector<Running> &running, std::size_t waiting,
                double waitingSeconds = -1);
    /// A line of its own that stays, above the bars.
    void say(const std::string &text);
    /// The last word: how many were recorded, failed and left out.
    void summary(bool interrupted);

private:
    void clearBars();
    void write(const std::string &text);
    std::string totalLine(const std::vector<Running> &running, std::size_t waiting,
                          double waitingSeconds) const;

    const int fd_;
    const bool terminal_;
    const bool quiet_;
    const std::size_t files_;
    std::size_t ended_ = 0, recorded_ = 0, failed_ = 0, skipped_ = 0, clippedFiles_ = 0;
    double audioDone_ = 0; // seconds of the files that have ended
    int bars_ = 0;         // lines drawn below the last line that stays
    std::chrono::steady_clock::time_point start_, lastDrawn_;
};

/// "1:02:03" or "2:03".
std::string clockText(double seconds);

} // namespace render
