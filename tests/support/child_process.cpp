#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "tests/support/eventually.h"

namespace ostrel_test {

ChildProcess::~ChildProcess()
{
    CloseStdin();
    // Never leave a child behind a failed test.
    if (pid > 0 && Running()) {
        kill(pid, SIGKILL);
        Wait(std::chrono::milliseconds(5000));
    }
}

void ChildProcess::Start(const std::vector<std::string> &argv, const std::string &stdout_path,
    const std::string &stderr_path, bool pipe_stdin, bool signals_blocked)
{
    int fds[2] = {-1, -1};
    if (pipe_stdin && pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    sigset_t daemon_signals, before;
    sigemptyset(&daemon_signals);
    sigaddset(&daemon_signals, SIGHUP);
    sigaddset(&daemon_signals, SIGINT);
    sigaddset(&daemon_signals, SIGTERM);
    // Blocked from the fork on: a signal sent right after Start must not
    // reach the child before its mask is set.
    if (signals_blocked) pthread_sigmask(SIG_BLOCK, &daemon_signals, &before);
    pid = fork();
    if (signals_blocked && pid != 0) pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = pipe_stdin ? fds[0] : open("/dev/null", O_RDONLY);
        int out = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        // gtest may run with signals blocked or ignored; the child starts clean.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, signals_blocked ? &daemon_signals : &none, nullptr);
        if (file_size_limit > 0) {
            struct rlimit limit = {file_size_limit, file_size_limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    if (pipe_stdin) {
        close(fds[0]);
        stdin_fd = fds[1];
    }
}

void ChildProcess::WriteStdin(const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(stdin_fd, text.data() + done, text.size() - done);
        if (wrote <= 0) throw std::runtime_error("write to child stdin failed");
        done += static_cast<size_t>(wrote);
    }
}

void ChildProcess::CloseStdin()
{
    if (stdin_fd >= 0) close(stdin_fd);
    stdin_fd = -1;
}

void ChildProcess::Signal(int signal_number)
{
    if (pid > 0 && Running()) kill(pid, signal_number);
}

bool ChildProcess::Running()
{
    if (pid <= 0 || status >= 0) return false;
    int raw = 0;
    pid_t got = waitpid(pid, &raw, WNOHANG);
    if (got == 0) return true;
    if (got == pid) status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout)
{
    Eventually([this] { return !Running(); }, timeout);
    return status;
}

} // namespace ostrel_test
