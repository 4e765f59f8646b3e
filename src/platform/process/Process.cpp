// fork and exec for the encoder, and the plain wait of a program without a
// window.
#include "platform/process/Process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/prctl.h>
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

    // Forked rather than spawned, so that the encoder can be tied to this
    // process: it dies with it, however it ends (even by SIGKILL), and never
    // writes after. Only async-signal-safe calls run between fork and exec;
    // an exec that fails sends its errno back through a pipe.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        handle.error = std::strerror(errno);
        return handle;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        // The encoder gets the default signal handling, not the program's,
        // and a process group of its own, which is ended as a whole.
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal)
            ::sigaction(signal, &standard, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        int failure = 0;
        if (::getppid() != parent)
            ::_exit(127);
        if (!folder.empty() && ::chdir(folder.c_str()) != 0)
            failure = errno;
        if (!failure && output >= 0 &&
            (::dup2(output, STDOUT_FILENO) < 0 || ::dup2(output, STDERR_FILENO) < 0))
            failure = errno;
        if (!failure) {
            ::execve(program.c_str(), argv.data(), environ);
            failure = errno;
        }
        [[maybe_unused]] const ssize_t sent = ::write(report[1], &failure, sizeof failure);
        ::_exit(127);
    }
    ::close(report[1]);
    if (pid > 0)
        ::setpgid(pid, pid); // as the child does: its group exists before either goes on
    if (pid < 0) {
        handle.error = std::strerror(errno);
        ::close(report[0]);
        return handle;
    }
    int failure = 0;
    ssize_t got;
    while ((got = ::read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (got == ssize_t(sizeof failure)) {
        // Nothing ran: the child is reaped here, and the reason told.
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        handle.error = std::strerror(failure);
        return handle;
    }
    handle.pid = pid;
    return handle;
}

void EndProcessGroup(pid_t pid, const std::function<bool(int)> &waitMs) {
    ::kill(-pid, SIGTERM);
    if (!waitMs(2000))
        ::kill(-pid, SIGKILL);
}

ProcessEnd WaitForProcess(const ProcessHandle &process, const std::atomic<bool> &stop) {
    ProcessEnd end;
    for (;;) {
        // Looked at every 20 ms rather than blocked on: a stop signal that
        // came just before a blocking wait would not wake it, and a process
        // that never ends would keep the program waiting for ever.
        const pid_t got = ::waitpid(process.pid, &end.status, WNOHANG);
        if (got == process.pid)
            return end;
        if (got < 0 && errno != EINTR)
            return end;
        if (!stop) {
            ::usleep(20000); // cut short by the signal
            continue;
        }
        end.cut = true;
        EndProcessGroup(process.pid, [&](int ms) {
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
