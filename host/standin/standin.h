// Controls of the stand-in host that a real host does not have: where log
// lines go, the clock, and where sink payloads go. Used by tests and by the
// ostrel-host daemon, never by the plug-in.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/oz_export.h"

namespace ostrel_standin {

enum class LogLevel { Error, Warning, Info, Debug };

// Receives each written log text (one oz_printf/oz_dprintf call, or one
// flushed chunk of a debug stream). Only debug texts that pass the debug
// mode test reach it.
using LogHandler = std::function<void(LogLevel level, const std::string &text)>;

// Replaces the handler (default: write to stderr); an empty one restores it.
OZ_HOST_API void SetLogHandler(LogHandler handler);

// Writes one text at `level`: the daemon's own warnings and errors, which a
// plug-in's oz_printf cannot mark. Values are made safe as oz_printf's are.
OZ_HOST_API void LogAt(LogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// `text` as journald's stream reader takes it (sd-daemon(3)): each line that
// starts in it begins with its level, "<3>" error, "<4>" warning, "<6>" info
// or "<7>" debug. `mid_line`: the text goes on a line already begun, whose
// level was given then.
OZ_HOST_API std::string JournalText(LogLevel level, const std::string &text, bool mid_line = false);

// True when stderr is the journal's stream: JOURNAL_STREAM, which systemd
// sets, names the device and inode of stderr ("DEV:INODE"). A stderr
// redirected elsewhere by a child of the service does not count.
OZ_HOST_API bool StderrIsJournal();

// Lines written to stderr carry the journal's level prefixes (and, as
// always, no time of their own: the journal stamps each line).
OZ_HOST_API void SetJournalFormat(bool on);

// Records every log text while it lives, instead of writing it to stderr.
class OZ_HOST_API LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // All texts so far, concatenated.
    std::string Text() const;
    // The concatenated text cut at each newline (a final partial line too).
    std::vector<std::string> Lines() const;
    bool Contains(const std::string &needle) const;
    // Number of (possibly overlapping-free) occurrences of `needle`.
    size_t Count(const std::string &needle) const;
    void Clear();
};

// A clock that only moves when told to, for the life of this object.
class OZ_HOST_API ManualClock
{
public:
    explicit ManualClock(int64_t start = 1000000);
    ~ManualClock();
    ManualClock(const ManualClock &) = delete;
    ManualClock &operator=(const ManualClock &) = delete;

    void Set(int64_t now);
    void Advance(int64_t seconds);
    int64_t Now() const;
};

// Receives DispatchSinkPayload calls: the plug-in's tag, the sink, the
// channels, the payload and the flag byte.
using SinkHandler = std::function<void(const std::string &tag, const std::string &sink,
    const std::set<std::string> &channels, const nlohmann::json &payload, uint8_t flags)>;

// Replaces the sink handler; with none, payloads are logged and dropped.
OZ_HOST_API void SetSinkHandler(SinkHandler handler);

} // namespace ostrel_standin
