// Drawing the bars with terminal control sequences, and the plain lines.
#include "render/Progress.h"

#include "engine/Levels.h"
#include "platform/FileWrite.h"

#include <algorithm>
#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

namespace render {
namespace {

int terminalWidth(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 20)
        return size.ws_col;
    return 80;
}

std::string baseName(const std::string &path) {
    return path.substr(path.rfind('/') + 1);
}

// Cuts a text to `width` characters (not bytes), keeping its end.
std::string fitted(const std::string &text, int width) {
    std::vector<std::size_t> starts; // where each UTF-8 character begins
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            starts.push_back(i);
    if (int(starts.size()) <= width)
        return text;
    return "…" + text.substr(starts[starts.size() - std::size_t(width - 1)]);
}

std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace

std::string clockText(double seconds) {
    const long s = std::lround(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

Progress::Progress(int fd, bool quiet, std::size_t files)
    : fd_(fd), terminal_(::isatty(fd) == 1), quiet_(quiet), files_(files),
      start_(std::chrono::steady_clock::now()) {}

void Progress::write(const std::string &text) {
    platform::writeAll(fd_, text.data(), text.size());
}

void Progress::clearBars() {
    if (bars_ > 0)
        write("\x1b[" + std::to_string(bars_) + "A\r\x1b[J");
    bars_ = 0;
}

void Progress::finished(const std::string &input, const std::string &output, const Result &result) {
    ++ended_;
    switch (result.status) {
    case Result::Status::Ok:
        ++recorded_;
        audioDone_ += result.seconds;
        break;
    case Result::Status::Failed:
        ++failed_;
        break;
    case Result::Status::Skipped:
        ++skipped_;
        break;
    }
    const bool clipped =
        result.status == Result::Status::Ok && result.measured && result.levels.clipped > 0;
    if (clipped)
        ++clippedFiles_;
    if (quiet_ && result.status != Result::Status::Failed) {
        // A file that clipped is told even then.
        if (clipped)
            write("WARNING: " + output + " clipped: " + std::to_string(result.levels.clipped) +
                  " samples at full scale\n");
        return;
    }
    clearBars();
    std::string line = "[";
    line.append(std::to_string(ended_)).append("/").append(std::to_string(files_)).append("] ");
    switch (result.status) {
    case Result::Status::Ok:
        line.append("ok ").append(input).append(" -> ").append(output);
        line.append(" (").append(clockText(result.seconds)).append(" of audio");
        if (result.measured) {
            const audio::Levels &l = result.levels;
            line.append(", peak ").append(audio::isLevel(l.peakDb) ? fixed(l.peakDb, 1) + " dBFS"
                                                                   : "none");
            line.append(", true peak ")
                .append(audio::isLevel(l.truePeakDb) ? fixed(l.truePeakDb, 1) + " dBTP" : "none");
            line.append(", ").append(l.silent() ? "silent" : fixed(l.loudness, 1) + " LUFS");
            if (result.gainDb != 0)
                line.append(", normalised by ").append(fixed(result.gainDb, 1)).append(" dB");
        }
        line.append(")");
        if (clipped) {
            line.append("\nWARNING: ")
                .append(output)
                .append(" clipped: ")
                .append(std::to_string(result.levels.clipped))
                .append(" samples at full scale");
        }
        break;
    case Result::Status::Skipped:
        line.append("left out ").append(input).append(": ").append(output).append(" exists");
        break;
    case Result::Status::Failed:
        line.append("FAILED ").append(input).append(": ").append(result.error);
        break;
    }
    write(line + "\n");
}

std::string Progress::totalLine(const std::vector<Running> &running, std::size_t waiting,
                                double waitingSeconds) const {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    double done = audioDone_, left = 0, lengths = 0;
    for (const Running &r : running) {
        done += double(r.done) / r.sampleRate;
        left += double(r.total - r.done) / r.sampleRate;
        lengths += double(r.total) / r.sampleRate;
    }
    std::string line = std::to_string(ended_) + "/" + std::to_string(files_) + " files · " +
                       clockText(done) + " of audio";
    if (waitingSeconds >= 0) {
        // In real time: what is left to play is what is left to wait.
        line += " · about " + clockText(left + waitingSeconds) + " left";
    } else if (elapsed > 0.5 && done > 0) {
        const double speed = done / elapsed;
        line += " · " + fixed(speed, 1) + "× real time";
        // Files not begun yet are guessed at the length of those seen so far.
        const std::size_t seen = recorded_ + running.size();
        const double typical = seen > 0 ? (audioDone_ + lengths) / double(seen) : 0;
        line += " · about " + clockText((left + typical * double(waiting)) / speed) + " left";
    }
    return line;
}

void Progress::update(const std::vector<Running> &running, std::size_t waiting,
                      double waitingSeconds) {
    if (quiet_ || !terminal_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDrawn_ < std::chrono::milliseconds(100))
        return;
    lastDrawn_ = now;
    const int width = terminalWidth(fd_);
    std::string text;
    for (const Running &r : running) {
        const double part = r.total > 0 ? std::min(1.0, double(r.done) / double(r.total)) : 0;
        const int filled = int(part * 24);
        std::string bar = "  [" + std::string(std::size_t(filled), '#') +
                          std::string(std::size_t(24 - filled), '-') + "] ";
        const std::string percent = std::to_string(int(part * 100)) + "%";
        bar += std::string(4 - std::min<std::size_t>(4, percent.size()), ' ') + percent + "  ";
        text += bar + fitted(baseName(r.name), std::max(8, width - int(bar.size()) - 1)) + "\n";
    }
    text += fitted("  " + totalLine(running, waiting, waitingSeconds), width - 1) + "\n";
    clearBars();
    write(text);
    bars_ = int(running.size()) + 1;
}

void Progress::say(const std::string &text) {
    clearBars();
    write(text + "\n");
}

void Progress::summary(bool interrupted) {
    clearBars();
    if (quiet_)
        return;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::string line = std::to_string(recorded_) + " recorded, " + std::to_string(failed_) +
                       " failed, " + std::to_string(skipped_) + " left out; " +
                       clockText(audioDone_) + " of audio in " + clockText(elapsed);
    if (elapsed > 0 && audioDone_ > 0)
        line += " (" + fixed(audioDone_ / elapsed, 1) + "× real time)";
    if (clippedFiles_ > 0)
        line += "; " + std::to_string(clippedFiles_) + (clippedFiles_ == 1 ? " file" : " files") +
                " clipped";
    if (interrupted)
        line += "; interrupted";
    write(line + "\n");
}

} // namespace render
