// The encoder's wait thread with its wake-up message, and the wait loop that
// keeps the window's events going meanwhile.
#include "app/ExecWait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>

#include <cerrno>
#include <sys/wait.h>

TExecWaitThread::TExecWaitThread(QObject *window, pid_t process)
    : WindowHandle(window), ProcessHandle(process) {}

void TExecWaitThread::run() {
    int status = 0;
    while (::waitpid(ProcessHandle, &status, 0) < 0 && errno == EINTR) {
    }
    End.status = status;
    Done = true;
    QCoreApplication::postEvent(WindowHandle,
                                new QEvent(static_cast<QEvent::Type>(kEncoderDoneMessage)));
}

ProcessEnd ExecWait(QObject *window, const ProcessHandle &process, const bool *endRequested) {
    TExecWaitThread waiter(window, process.pid);
    waiter.start(QThread::LowestPriority);
    // The window goes on painting and moving; its message 2024 ends the wait.
    bool cut = false;
    while (!waiter.Done) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (endRequested && *endRequested && !waiter.Done) {
            // The program is ending: it does not wait for an encoder that hangs.
            EndProcessGroup(process.pid, [&](int ms) { return waiter.wait(QDeadlineTimer(ms)); });
            cut = true;
            break;
        }
    }
    waiter.wait();
    waiter.End.cut = cut;
    return waiter.End;
}
