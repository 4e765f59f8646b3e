// The batch: outputs planned first (duplicates and existing files found
// before anything records), then worker processes forked before any thread
// exists, fed one file at a time over a pipe, and replaced if one dies.
#include "render/Batch.h"

#include "engine/Calibration.h"
#include "platform/FileWrite.h"
#include "recording/Formats.h"
#include "recording/Interrupted.h"
#include "recording/RunPlan.h"
#include "render/Check.h"
#include "render/Json.h"
#include "render/Live.h"
#include "render/Progress.h"
#include "render/Renderer.h"
#include "render/ReportPage.h"
#include "render/Stems.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace render {
namespace {

struct Task {
    std::string input, output;
    Result result;
    bool ended = false;
    bool encodeOnly = false; // its WAVE stands, its MP3 does not: only the encoder runs
    double seconds = 0;      // live: the real time it plays, with its tail
};

std::atomic<bool> g_stop{false};

void onStopSignal(int) {
    g_stop = true;
}

void installStopSignals(bool worker) {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // a wait for the encoder is interrupted
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // A worker hears of ^C from the batch, which ends it in good order.
    if (worker)
        std::signal(SIGINT, SIG_IGN);
    else
        sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// --- The plan ----------------------------------------------------------------

// One file however its path is spelt.
std::string sameFileKey(const std::string &path) {
    std::error_code error;
    std::string key = std::filesystem::weakly_canonical(path, error).string();
    return error ? path : key;
}

std::vector<Task> plan(const Request &request) {
    // Every shard plans the whole list, so that two files meant for one
    // output are found alike in every shard, before anything records: the
    // one whose path sorts first records it, the others fail naming it.
    std::map<std::string, std::string> owner;
    for (const std::string &file : request.files) {
        const std::string key = sameFileKey(outputOf(request, file));
        const auto [at, first] = owner.emplace(key, file);
        if (!first && file < at->second)
            at->second = file;
    }
    std::vector<Task> tasks;
    std::map<std::string, std::size_t> claimed; // outputs this shard records
    for (const std::string &file : request.files) {
        if (!inShard(request, file))
            continue;
        Task task;
        task.input = file;
        task.output = outputOf(request, file);
        const std::string key = sameFileKey(task.output);
        if (request.toStdout)
            task.output = "-"; // as the user named it; the file is only passing through
        const std::string &first = owner[key];
        const auto [at, fresh] = claimed.emplace(key, tasks.size());
        if (first != file || !fresh) {
            task.ended = true;
            task.result.error = "its output " + task.output + " would also be that of " +
                                (first != file ? first : tasks[at->second].input);
        } else if (request.skipExisting && outputsWhole(request, file, task.output)) {
            // A whole recording is done; with the encoder, only when its MP3
            // is too. A short or broken one is recorded again.
            if (!EncoderRuns(request.options) || HoldsMpegAudio(Mp3PathOf(task.output))) {
                task.ended = true;
                task.result.status = Result::Status::Skipped;
            } else {
                task.encodeOnly = true;
            }
        }
        tasks.push_back(std::move(task));
    }
    return tasks;
}

// --- The messages between a worker and the batch ------------------------------
//
// One line each: "P task done total" (progress) and "R task {result}" (the
// result, as resultLine() writes it); from a live worker, "I", "W" and "E"
// with a message, its line breaks escaped.

std::string escaped(const std::string &text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string unescaped(const std::string &text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            out += text[i + 1] == 'n' ? '\n' : text[i + 1];
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

void send(int fd, const std::string &line) {
    platform::writeAll(fd, line.data(), line.size());
}

// Reads whole lines from a pipe. False at its end.
bool readLines(int fd, std::string &pending, std::vector<std::string> &lines) {
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0)
        return false;
    pending.append(buffer, std::size_t(n));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        lines.push_back(pending.substr(0, end));
        pending.erase(0, end + 1);
    }
    return true;
}

[[noreturn]] void workerMain(const Request &request, const std::vector<Task> &tasks, int in,
                             int out) {
    installStopSignals(true);
    // Live: the latency measured first when asked, with an engine of its own.
    Request live = request;
    if (request.live && request.calibrate) {
        const audio::Calibration calibration = audio::calibrate(liveDevices(request));
        if (!calibration.stored) {
            send(out, "E " + escaped("the calibration failed: " + calibration.message) + "\n");
            std::_Exit(0);
        }
        live.latency = calibration.offset;
        live.latencyGiven = true;
        send(out, "I " + escaped("calibrated: " + calibration.message) + "\n");
    }
    Renderer renderer(live);
    if (request.live) {
        // The instrument and its input, tried before the first song.
        std::vector<std::string> warnings;
        const std::string problem = renderer.checkLive(warnings);
        for (const std::string &warning : warnings)
            send(out, "W " + escaped(warning) + "\n");
        if (!problem.empty()) {
            renderer.silence();
            send(out, "E " + escaped(problem) + "\n");
            std::_Exit(0);
        }
    }
    std::string pending;
    for (;;) {
        std::vector<std::string> lines;
        while (lines.empty())
            if (!readLines(in, pending, lines) || g_stop) {
                renderer.silence();
                std::_Exit(0);
            }
        for (const std::string &line : lines) {
            const std::size_t index = std::stoul(line);
            const Task &task = tasks[index];
            const std::string id = std::to_string(index);
            const Job job = makeJob(request, task.input);
            const Result r = task.encodeOnly
                                 ? renderer.encode(job, g_stop)
                                 : renderer.render(
                                       job,
                                       [&](std::int64_t done, std::int64_t total) {
                                           send(out, "P " + id + " " + std::to_string(done) + " " +
                                                         std::to_string(total) + "\n");
                                       },
                                       g_stop);
            send(out, "R " + id + " " + resultLine(r) + "\n");
            if (g_stop) {
                renderer.silence();
                std::_Exit(0);
            }
        }
    }
}

// --- The batch's side -----------------------------------------------------------

struct Worker {
    pid_t pid = 0;
    int tasks = -1;   // the batch writes task numbers here
    int results = -1; // and reads the worker's lines here
    std::string pending;
    long task = -1; // the file it records, or -1
    std::int64_t done = 0, total = 0;
};

class Batch {
public:
    explicit Batch(const Request &request)
        : request_(request), tasks_(plan(request)),
          progress_(STDERR_FILENO, request.quiet, tasks_.size()) {
        if (request.live)
            for (Task &task : tasks_) {
                try {
                    task.seconds = double(audio::readMidiFile(task.input).lengthUs) / 1e6 +
                                   request.tailSeconds;
                } catch (const std::exception &) {
                    task.seconds = 0; // it fails at once
                }
            }
    }

    int run() {
        if (!request_.report.empty()) {
            // Appended: the runs of one xargs pipeline share one report.
            report_ = std::fopen(request_.report.c_str(), "a");
            if (!report_)
                throw UsageError("the report " + request_.report +
                                 " cannot be written: " + std::strerror(errno));
        }
        if (!request_.reportPage.empty()) {
            // Written at once: a page that cannot be is known before a song records.
            page_ = std::make_unique<ReportPage>(request_.reportPage, tasks_.size());
            if (const std::string error = page_->update(true); !error.empty())
                throw UsageError("the report page " + request_.reportPage +
                                 " cannot be written: " + error);
        }
        installStopSignals(false);
        settleInterrupted();
        for (std::size_t i = 0; i < tasks_.size(); ++i) {
            if (tasks_[i].ended)
                finish(i);
            else
                waiting_.push_back(i);
        }
        const std::size_t jobs = std::min<std::size_t>(std::size_t(request_.jobs), waiting_.size());
        for (std::size_t i = 0; i < jobs; ++i)
            startWorker();
        while (!workers_.empty())
            turn();
        progress_.summary(g_stop);
        if (report_)
            std::fclose(report_);
        bool pageWritten = true;
        if (page_)
            if (const std::string error = page_->update(true); !error.empty()) {
                std::fprintf(stderr, "kestrune-render: the report page %s cannot be written: %s\n",
                             request_.reportPage.c_str(), error.c_str());
                pageWritten = false;
            }
        if (g_stop)
            return 130;
        if (!pageWritten)
            return 1;
        for (const Task &t : tasks_)
            if (t.result.status == Result::Status::Failed)
                return 1;
        return 0;
    }

private:
    void startWorker() {
        int tasks[2], results[2];
        if (::pipe2(tasks, O_CLOEXEC) != 0 || ::pipe2(results, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("no pipe for a worker: ") + std::strerror(errno));
        const pid_t batch = ::getpid();
        const pid_t pid = ::fork();
        if (pid < 0)
            throw std::runtime_error(std::string("no worker process: ") + std::strerror(errno));
        if (pid == 0) {
            // The worker dies with the batch, however the batch ends (even
            // by SIGKILL), and writes nothing after it; a batch that died
            // before this line is caught by the look at the parent.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != batch)
                std::_Exit(1);
            // The worker keeps its own two ends only, so that the batch
            // sees its end, and it sees the batch's.
            for (const Worker &w : workers_) {
                ::close(w.tasks);
                ::close(w.results);
            }
            ::close(tasks[1]);
            ::close(results[0]);
            if (report_)
                ::close(fileno(report_));
            workerMain(request_, tasks_, tasks[0], results[1]);
        }
        ::close(tasks[0]);
        ::close(results[1]);
        Worker worker;
        worker.pid = pid;
        worker.tasks = tasks[1];
        worker.results = results[0];
        workers_.push_back(worker);
        giveWork(workers_.back());
    }

    void giveWork(Worker &worker) {
        if (waiting_.empty() || g_stop) {
            // Nothing left: the worker ends when it reads the pipe's end.
            if (worker.tasks >= 0)
                ::close(worker.tasks);
            worker.tasks = -1;
            worker.task = -1;
            return;
        }
        worker.task = long(waiting_.front());
        waiting_.pop_front();
        worker.done = worker.total = 0;
        send(worker.tasks, std::to_string(worker.task) + "\n");
    }

    void turn() {
        std::vector<pollfd> fds;
        for (const Worker &w : workers_)
            fds.push_back(pollfd{w.results, POLLIN, 0});
        const int ready = ::poll(fds.data(), fds.size(), 100);
        if (g_stop && !stopping_) {
            // Every worker ends its file unsaved and leaves.
            stopping_ = true;
            waiting_.clear();
            for (const Worker &w : workers_)
                ::kill(w.pid, SIGTERM);
        }
        if (ready > 0) {
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                Worker &worker = workers_[i];
                std::vector<std::string> lines;
                const bool open = readLines(worker.results, worker.pending, lines);
                for (const std::string &line : lines)
                    heard(worker, line);
                if (!open)
                    worker.results = -1; // reaped below
            }
        }
        reap();
        std::vector<Running> running;
        for (const Worker &w : workers_)
            if (w.task >= 0)
                running.push_back(Running{tasks_[std::size_t(w.task)].input, w.done, w.total,
                                          request_.encoding.format.sampleRate});
        double waitingSeconds = -1;
        if (request_.live) {
            waitingSeconds = 0;
            for (const std::size_t index : waiting_)
                waitingSeconds += tasks_[index].seconds;
        }
        progress_.update(running, waiting_.size(), waitingSeconds);
        if (page_)
            page_->update(false); // rows that waited for their moment
    }

    void heard(Worker &worker, const std::string &line) {
        // A warning about the instrument or its input, or what was
        // measured of it (left out with --quiet).
        if (line.rfind("W ", 0) == 0 || (line.rfind("I ", 0) == 0 && !request_.quiet)) {
            progress_.say("kestrune-render: " + unescaped(line.substr(2)));
            return;
        }
        if (line.rfind("E ", 0) == 0) {
            // The instrument cannot be used: no song can be recorded.
            const std::string why = unescaped(line.substr(2));
            progress_.say("kestrune-render: " + why);
            if (worker.task >= 0)
                waiting_.push_front(std::size_t(worker.task));
            worker.task = -1;
            for (const std::size_t index : waiting_) {
                tasks_[index].result.status = Result::Status::Failed;
                tasks_[index].result.error = why;
                finish(index);
            }
            waiting_.clear();
            return;
        }
        char kind = 0;
        long task = -1;
        int used = 0;
        if (std::sscanf(line.c_str(), "%c %ld %n", &kind, &task, &used) < 2 || task != worker.task)
            return;
        if (kind == 'P') {
            long long done = 0, total = 0;
            if (std::sscanf(line.c_str() + used, "%lld %lld", &done, &total) == 2) {
                worker.done = done;
                worker.total = total;
            }
            return;
        }
        if (kind != 'R')
            return;
        Result &result = tasks_[std::size_t(task)].result;
        if (!readResultLine(line.substr(std::size_t(used)), result)) {
            result.status = Result::Status::Failed;
            result.error = "the recording process sent a result that cannot be read";
        }
        finish(std::size_t(task));
        giveWork(worker);
    }

    void reap() {
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (it->results >= 0) {
                ++it;
                continue;
            }
            int status = 0;
            while (::waitpid(it->pid, &status, 0) < 0 && errno == EINTR) {
            }
            if (it->tasks >= 0)
                ::close(it->tasks);
            const long task = it->task;
            it = workers_.erase(it);
            if (task >= 0) {
                // The worker died on this file: the file fails, the batch goes on.
                Task &t = tasks_[std::size_t(task)];
                t.result.status = Result::Status::Failed;
                t.result.error = g_stop ? std::string("interrupted")
                                        : "the recording process ended unexpectedly (" +
                                              ProcessEnd{status, false}.describe() + ")";
                finish(std::size_t(task));
                if (!waiting_.empty() && !g_stop)
                    startWorker();
            }
        }
    }

    void settleInterrupted() {
        // Recordings a crash or a kill left in these output folders (none
        // that a running batch still writes) are kept or removed first, and
        // the temporary files such a run left are removed.
        std::vector<std::string> folders;
        for (const Task &task : tasks_) {
            folders.push_back(task.output.substr(0, task.output.rfind('/') + 1));
            if (request_.stems)
                folders.push_back(stemFolderOf(task.output));
        }
        std::sort(folders.begin(), folders.end());
        folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
        for (const Leftover &leftover : FindLeftovers(folders)) {
            std::string error;
            const bool removed = RemoveLeftover(leftover, error);
            std::fprintf(stderr, "Left-over temporary file %s (%llu bytes) %s\n",
                         leftover.file.c_str(), static_cast<unsigned long long>(leftover.bytes),
                         removed ? "removed" : ("could not be removed: " + error).c_str());
            report("{\"leftover\":" + jsonText(leftover.file) +
                   ",\"bytes\":" + std::to_string(leftover.bytes) +
                   ",\"status\":\"leftover\",\"action\":\"" + (removed ? "removed" : "kept") +
                   "\",\"error\":" + (removed ? "null" : jsonText(error)) + "}");
        }
        for (const InterruptedRecording &found : FindInterrupted(folders)) {
            std::string error, kept;
            const bool keep = request_.keepInterrupted && found.frames > 0;
            if (keep)
                kept = KeepInterrupted(found, false, error);
            else
                DiscardInterrupted(found, error);
            const std::string what =
                !error.empty()
                    ? "could not be " + std::string(keep ? "kept" : "removed") + ": " + error
                : keep ? "kept as " + kept
                       : (found.frames > 0 ? "removed" : "removed (it held no audio)");
            std::fprintf(stderr, "Interrupted recording %s (%.1f s of %s, for %s) %s\n",
                         found.file.c_str(), found.seconds(), found.note.song.c_str(),
                         found.note.output.c_str(), what.c_str());
            char seconds[40];
            std::snprintf(seconds, sizeof seconds, "%.6f", found.seconds());
            report("{\"input\":" + jsonText(found.note.song) +
                   ",\"output\":" + jsonText(found.note.output) +
                   ",\"interrupted\":" + jsonText(kept.empty() ? found.file : kept) +
                   ",\"frames\":" + std::to_string(found.frames) + ",\"seconds\":" + seconds +
                   ",\"status\":\"interrupted\",\"action\":\"" + (keep ? "kept" : "removed") +
                   "\",\"error\":" + (error.empty() ? "null" : jsonText(error)) + "}");
        }
    }

    void finish(std::size_t index) {
        Task &task = tasks_[index];
        task.ended = true;
        progress_.finished(task.input, task.output, task.result);
        if (!report_ && !page_)
            return;
        report("{\"input\":" + jsonText(task.input) + ",\"output\":" + jsonText(task.output) +
               ",\"format\":" + jsonText(encodingText(request_.encoding)) + "," +
               reportMembers(task.result,
                             ReportContext{request_.normalize, request_.stems, request_.loopFile}) +
               "}");
    }

    // A line of the report, into the report and onto its page.
    void report(const std::string &line) {
        if (report_) {
            std::fprintf(report_, "%s\n", line.c_str());
            std::fflush(report_);
        }
        if (page_) {
            page_->add(line);
            // A page that fails now is tried again, and told of at the end.
            page_->update(false);
        }
    }

    const Request &request_;
    std::vector<Task> tasks_;
    Progress progress_;
    std::deque<std::size_t> waiting_;
    std::vector<Worker> workers_;
    std::FILE *report_ = nullptr;
    std::unique_ptr<ReportPage> page_;
    bool stopping_ = false;
};

} // namespace

namespace {

// -o -: the file is recorded into a private folder of the temporary
// folder, then written to standard output, and the folder removed.
int toStandardOutput(Request request) {
    const char *named = std::getenv("TMPDIR");
    std::string folder = std::string(named && *named ? named : "/tmp") + "/kestrune-render-XXXXXX";
    if (!::mkdtemp(folder.data()))
        throw std::runtime_error("no folder for the recording in " + folder + ": " +
                                 std::strerror(errno));
    request.options.directory = folder + "/";
    request.jobs = 1;
    int status = Batch(request).run();
    const std::string file = outputOf(request, request.files.front());
    if (status == 0) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        std::vector<char> buffer(1 << 16);
        ssize_t got = 0;
        bool ok = fd >= 0;
        while (ok && (got = ::read(fd, buffer.data(), buffer.size())) > 0)
            ok = platform::writeAll(STDOUT_FILENO, buffer.data(), std::size_t(got));
        if (!ok || got < 0) {
            std::fprintf(stderr,
                         "kestrune-render: the recording could not be written to "
                         "standard output: %s\n",
                         errno == EPIPE ? "its reader closed it before the end"
                                        : std::strerror(errno));
            status = 1;
        }
        if (fd >= 0)
            ::close(fd);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return status;
}

} // namespace

int runBatch(const Request &request) {
    if (request.toStdout)
        return toStandardOutput(request);
    return Batch(request).run();
}

} // namespace render
