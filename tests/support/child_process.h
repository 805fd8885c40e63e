// A child process started with its output going to files, fed through a
// pipe on stdin, signalled and awaited with a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel_test {

class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts `argv` with stdout and stderr appended to the given files and
    // stdin a pipe (or /dev/null when `pipe_stdin` is false). With
    // `signals_blocked`, SIGHUP, SIGINT and SIGTERM are blocked across the
    // exec, as a supervisor that may signal at once starts a daemon.
    void Start(const std::vector<std::string> &argv, const std::string &stdout_path,
        const std::string &stderr_path, bool pipe_stdin = false, bool signals_blocked = false);

    // Later starts run under this file-size limit (RLIMIT_FSIZE, as `ulimit
    // -f` or a supervisor's LimitFSIZE= sets it).
    void LimitFileSize(uint64_t bytes) { file_size_limit = bytes; }

    void WriteStdin(const std::string &text);
    void CloseStdin();
    void Signal(int signal_number);

    // The exit status, or -1 when the process has not ended by the deadline.
    // A process ended by a signal gives 128 + the signal's number.
    int Wait(std::chrono::milliseconds timeout);
    bool Running();
    pid_t Pid() const { return pid; }

private:
    pid_t pid = -1;
    int stdin_fd = -1;
    int status = -1;
    uint64_t file_size_limit = 0; // 0: none
};

} // namespace ostrel_test
