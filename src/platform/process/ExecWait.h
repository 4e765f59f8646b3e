// Starting an outside program (the MP3 encoder) and waiting for it: on a
// worker thread while the window's message loop goes on, or on the calling
// thread of a program without a window.
#pragma once

#include <QThread>

#include <atomic>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

class QObject;

/// Message 2024: posted to the main window when the encoder has ended.
inline constexpr int kEncoderDoneMessage = 1024 + 1000;

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

/// Waits for `process` while handling the window thread's events; returns
/// when it has ended, with how it ended. When `endRequested` becomes true
/// meanwhile (the program is ending), the process is ended: SIGTERM, then
/// SIGKILL after two seconds.
ProcessEnd ExecWait(QObject *window, const ProcessHandle &process,
                    const bool *endRequested = nullptr);

/// Waits for `process` on the calling thread. When `stop` becomes true
/// meanwhile (a signal handler sets it; the wait wakes on EINTR), the
/// process is ended as ExecWait ends it.
ProcessEnd WaitForProcess(const ProcessHandle &process, const std::atomic<bool> &stop);

/// The last line that is not empty of what a process printed into `file`,
/// without its line end; empty when there is none.
std::string LastLineOf(std::FILE *file);

/// Waits for a process, then sets Done and posts message 2024 to the window.
class TExecWaitThread : public QThread {
    Q_OBJECT
public:
    TExecWaitThread(QObject *window, pid_t process);

    QObject *const WindowHandle;
    const pid_t ProcessHandle;
    std::atomic<bool> Done{false};
    ProcessEnd End;

protected:
    void run() override;
};
