// Starting an outside program (the MP3 encoder) and waiting for it on the
// calling thread (the window waits on a thread of its own, keeping its
// message loop going).
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

/// A started process, or none (pid 0) with the reason it could not start.
struct ProcessHandle {
    pid_t pid = 0;
    std::string error;
    explicit operator bool() const { return pid > 0; }
};

/// How a process ended, as waitpid() reported it.
struct ProcessEnd {
    int status = 0;
    /// Ended by the waiter because the program is ending.
    bool cut = false;
    bool succeeded() const;
    /// "exit status 1", "signal 9 (Killed)".
    std::string describe() const;
};

/// Starts `program` with `arguments`, each passed whole (no shell, no
/// splitting at blanks), in `directory` (empty: the current directory).
/// The process leads a process group of its own, so that ending it ends
/// whatever it started too. `output`, when not -1, receives what it prints
/// (standard output and error).
ProcessHandle ExecProcess(const std::string &program, const std::vector<std::string> &arguments,
                          const std::string &directory, int output = -1);

/// Waits for `process` on the calling thread. When `stop` becomes true
/// meanwhile (a signal handler sets it, at any moment), the process is
/// ended with EndProcessGroup.
ProcessEnd WaitForProcess(const ProcessHandle &process, const std::atomic<bool> &stop);

/// Ends the process group led by `pid`: SIGTERM, then SIGKILL when
/// `waitMs(2000)` says it has not ended two seconds later.
void EndProcessGroup(pid_t pid, const std::function<bool(int)> &waitMs);

/// The last line that is not empty of what a process printed into `file`,
/// without its line end; empty when there is none.
std::string LastLineOf(std::FILE *file);
