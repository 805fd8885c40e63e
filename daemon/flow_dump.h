// Writes flows as flow lines (the JSON Lines that ParseFlowLine reads), so
// that what the daemon dispatched can be replayed with --input. Texts that
// are not valid UTF-8 cannot be JSON strings: each bad byte becomes U+FFFD.
// Control characters, NUL included, survive as \u escapes. Single-threaded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/oz_flow.h"
#include "host/oz_plugin.h"

namespace ostrel_host {

// One line, without its newline. `time` in seconds is left out when negative;
// empty texts and addresses are left out. Never throws for any text.
std::string FlowDumpLine(const ozFlow &flow, unsigned event, double time);

class FlowDumpFile
{
public:
    FlowDumpFile() = default;
    ~FlowDumpFile() { Close(); }
    FlowDumpFile(const FlowDumpFile &) = delete;
    FlowDumpFile &operator=(const FlowDumpFile &) = delete;

    // Creates or empties the file; false with `error` set.
    bool Open(const std::string &path, std::string &error);
    // False (once for a run of failures, with `error` set) when the file
    // stops taking lines; a later Flush that works ends the run.
    bool Write(const ozFlow &flow, unsigned event, double time, std::string &error);
    // Hands what is buffered to the file, so that a reader sees the lines of
    // a live capture soon. False (once, with `error` set) when that fails.
    bool Flush(std::string &error);
    // Flushes and closes; false with `error` set when the last lines failed.
    bool Close(std::string &error);
    void Close();
    bool IsOpen() const { return file != nullptr; }
    uint64_t Lines() const { return lines; }

private:
    // Reports the first failure of a run of them.
    bool Failed(std::string &error);

    std::FILE *file = nullptr;
    std::string path;
    bool failed = false;
    uint64_t lines = 0;
};

} // namespace ostrel_host
