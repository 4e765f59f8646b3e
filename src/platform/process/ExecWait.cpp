// posix_spawn for the encoder, the wait thread with its wake-up message, and
// the plain wait of a program without a window.
#include "platform/process/ExecWait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

bool ProcessEnd::succeeded() const {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ProcessEnd::describe() const {
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) +
               ")";
    return "an unknown end";
}

ProcessHandle ExecProcess(const std::string &program, const std::vector<std::string> &arguments,
                          const std::string &directory, int output) {
    ProcessHandle handle;
    std::string folder = directory;
    if (folder.empty()) {
        char buffer[4096];
        if (::getcwd(buffer, sizeof buffer))
            folder = buffer;
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : arguments)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!folder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    if (output >= 0) {
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
    }
    // The encoder gets the default signal handling, not the program's.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attributes, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETPGROUP);

    pid_t pid = 0;
    const int result =
        posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        handle.error = std::strerror(result);
        return handle;
    }
    handle.pid = pid;
    return handle;
}

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

namespace {

// The end of a process that is asked to end: SIGTERM to its group, then
// SIGKILL when it has not ended two seconds later.
void endProcessGroup(pid_t pid, const std::function<bool(int)> &waitMs) {
    ::kill(-pid, SIGTERM);
    if (!waitMs(2000))
        ::kill(-pid, SIGKILL);
}

} // namespace

ProcessEnd ExecWait(QObject *window, const ProcessHandle &process, const bool *endRequested) {
    TExecWaitThread waiter(window, process.pid);
    waiter.start(QThread::LowestPriority);
    // The window goes on painting and moving; its message 2024 ends the wait.
    bool cut = false;
    while (!waiter.Done) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (endRequested && *endRequested && !waiter.Done) {
            // The program is ending: it does not wait for an encoder that hangs.
            endProcessGroup(process.pid, [&](int ms) { return waiter.wait(QDeadlineTimer(ms)); });
            cut = true;
            break;
        }
    }
    waiter.wait();
    waiter.End.cut = cut;
    return waiter.End;
}

ProcessEnd WaitForProcess(const ProcessHandle &process, const std::atomic<bool> &stop) {
    ProcessEnd end;
    for (;;) {
        const pid_t got = ::waitpid(process.pid, &end.status, 0);
        if (got == process.pid)
            return end;
        if (got < 0 && errno != EINTR)
            return end;
        if (stop && !end.cut) {
            end.cut = true;
            endProcessGroup(process.pid, [&](int ms) {
                for (int waited = 0; waited < ms; waited += 10) {
                    if (::waitpid(process.pid, &end.status, WNOHANG) == process.pid)
                        return true;
                    ::usleep(10000);
                }
                return false;
            });
            ::waitpid(process.pid, &end.status, 0);
            return end;
        }
    }
}

std::string LastLineOf(std::FILE *file) {
    std::string last;
    std::rewind(file);
    char line[1024];
    while (std::fgets(line, sizeof line, file))
        if (line[0] != '\n')
            last = line;
    while (!last.empty() && (last.back() == '\n' || last.back() == '\r'))
        last.pop_back();
    return last;
}
