// The window's wait for the encoder: a worker thread waits for the process
// while the window's message loop goes on, and wakes it with message 2024.
#pragma once

#include "platform/process/Process.h"

#include <QThread>

#include <atomic>

class QObject;

/// Message 2024: posted to the main window when the encoder has ended.
inline constexpr int kEncoderDoneMessage = 1024 + 1000;

/// Waits for `process` while handling the window thread's events; returns
/// when it has ended, with how it ended. When `endRequested` becomes true
/// meanwhile (the program is ending), the process is ended: SIGTERM, then
/// SIGKILL after two seconds.
ProcessEnd ExecWait(QObject *window, const ProcessHandle &process,
                    const bool *endRequested = nullptr);

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
