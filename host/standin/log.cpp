#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "host/oz_config.h"
#include "host/oz_exception.h"
#include "host/oz_log.h"
#include "host/standin/escape.h"
#include "host/standin/standin.h"

namespace {

struct LogState {
    std::mutex lock;
    ostrel_standin::LogHandler handler;
    std::vector<std::string> *capture = nullptr;
    bool journal = false;
    bool mid_line = false; // the last text written did not end its line
};

LogState &State()
{
    static LogState state;
    return state;
}

std::string FormatV(const char *format, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, ap);
    text.resize(static_cast<size_t>(length));
    return text;
}

// Escapes `text` but keeps its tabs, its newlines when `keep_newlines`, and
// a newline that ends it when `keep_last_newline`. Neither byte can be part
// of a longer UTF-8 sequence, so the pieces between them are escaped apart.
std::string EscapeKeeping(const std::string &text, bool keep_newlines, bool keep_last_newline)
{
    const bool ends_line = keep_last_newline && !text.empty() && text.back() == '\n';
    const size_t end = ends_line ? text.size() - 1 : text.size();
    std::string out;
    size_t start = 0;
    for (size_t at = 0; at < end; at++) {
        if (text[at] == '\t' || (keep_newlines && text[at] == '\n')) {
            out += ostrel_standin::EscapeControls(text.substr(start, at - start));
            out += text[at];
            start = at + 1;
        }
    }
    out += ostrel_standin::EscapeControls(text.substr(start, end - start));
    if (ends_line) out += '\n';
    return out;
}

template <typename... Args> std::string Sprintf(const char *format, Args... args)
{
    int length = snprintf(nullptr, 0, format, args...);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    snprintf(&text[0], text.size(), format, args...);
    text.resize(static_cast<size_t>(length));
    return text;
}

// One conversion with its "*" width and precision, if any.
template <typename T>
std::string Convert(const std::string &directive, const int *stars, int star_count, T value)
{
    if (star_count == 0) return Sprintf(directive.c_str(), value);
    if (star_count == 1) return Sprintf(directive.c_str(), stars[0], value);
    return Sprintf(directive.c_str(), stars[0], stars[1], value);
}

// The text of one conversion ("%-8.*lu"), taking its arguments from `ap`.
// `length` is its length modifier ("", "hh", "l", "z", ...).
std::string ConvertOne(const std::string &directive, const std::string &length, char conversion,
    const int *stars, int star_count, int saved_errno, va_list &ap)
{
    switch (conversion) {
    case 'd':
    case 'i':
        if (length == "l") return Convert(directive, stars, star_count, va_arg(ap, long));
        if (length == "ll") return Convert(directive, stars, star_count, va_arg(ap, long long));
        if (length == "j") return Convert(directive, stars, star_count, va_arg(ap, intmax_t));
        if (length == "z") return Convert(directive, stars, star_count, va_arg(ap, ssize_t));
        if (length == "t") return Convert(directive, stars, star_count, va_arg(ap, ptrdiff_t));
        return Convert(directive, stars, star_count, va_arg(ap, int));
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        if (length == "l") return Convert(directive, stars, star_count, va_arg(ap, unsigned long));
        if (length == "ll") return Convert(directive, stars, star_count, va_arg(ap, unsigned long long));
        if (length == "j") return Convert(directive, stars, star_count, va_arg(ap, uintmax_t));
        if (length == "z") return Convert(directive, stars, star_count, va_arg(ap, size_t));
        if (length == "t") return Convert(directive, stars, star_count, va_arg(ap, ptrdiff_t));
        return Convert(directive, stars, star_count, va_arg(ap, unsigned));
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        if (length == "L") return Convert(directive, stars, star_count, va_arg(ap, long double));
        return Convert(directive, stars, star_count, va_arg(ap, double));
    case 'c':
        if (length == "l") return Convert(directive, stars, star_count, va_arg(ap, wint_t));
        return Convert(directive, stars, star_count, va_arg(ap, int));
    case 's':
        if (length == "l") return Convert(directive, stars, star_count, va_arg(ap, const wchar_t *));
        return Convert(directive, stars, star_count, va_arg(ap, const char *));
    case 'p':
        return Convert(directive, stars, star_count, va_arg(ap, void *));
    case 'n':
        (void)va_arg(ap, void *);
        return std::string(); // never written through
    case 'm':
        return Convert("%s", stars, 0, strerror(saved_errno));
    default:
        return directive; // not a conversion: shown as written
    }
}

// Formats like vsnprintf, but only the format's own text is written as it
// stands: the text of each value is escaped, its newlines too, so that the
// lines of a log are those the code wrote and no value can start one. A
// newline that ends the whole text is kept wherever it came from.
std::string FormatLogText(const char *format, va_list ap)
{
    const int saved_errno = errno;
    va_list args; // an object of its own, so that it can be passed on by reference
    va_copy(args, ap);
    std::string out;
    const char *p = format;
    while (*p != '\0') {
        if (*p != '%') {
            const char *next = std::strchr(p, '%');
            if (next == nullptr) next = p + std::strlen(p);
            out.append(p, next);
            p = next;
            continue;
        }
        const char *start = p++;
        if (*p == '%') {
            out += '%';
            p++;
            continue;
        }
        int stars[2] = {0, 0};
        int star_count = 0;
        while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr)
            p++;
        if (*p == '*') {
            stars[star_count++] = va_arg(args, int);
            p++;
        }
        while (std::isdigit(static_cast<unsigned char>(*p)))
            p++;
        if (*p == '.') {
            p++;
            if (*p == '*') {
                stars[star_count++] = va_arg(args, int);
                p++;
            }
            while (std::isdigit(static_cast<unsigned char>(*p)))
                p++;
        }
        std::string length;
        while (*p != '\0' && std::strchr("hljztL", *p) != nullptr)
            length += *p++;
        if (*p == '\0') break; // a conversion cut short takes nothing
        const char conversion = *p++;
        std::string value
            = ConvertOne(std::string(start, p), length, conversion, stars, star_count, saved_errno, args);
        // Only a value that ends the whole text may end its line.
        out += EscapeKeeping(value, false, *p == '\0');
    }
    va_end(args);
    return out;
}

bool DebugMode()
{
    ozGlobalConfig *config = ozGlobalConfig::instance;
    return config != nullptr && config->IsDebug();
}

void Write(ostrel_standin::LogLevel level, const std::string &text)
{
    LogState &state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.capture != nullptr) {
        state.capture->push_back(text);
        return;
    }
    if (state.handler) {
        state.handler(level, text);
        return;
    }
    const std::string &out = state.journal ? ostrel_standin::JournalText(level, text, state.mid_line) : text;
    if (!text.empty()) state.mid_line = text.back() != '\n';
    std::fputs(out.c_str(), stderr);
}

const char *JournalPrefix(ostrel_standin::LogLevel level)
{
    switch (level) {
    case ostrel_standin::LogLevel::Error:
        return "<3>";
    case ostrel_standin::LogLevel::Warning:
        return "<4>";
    case ostrel_standin::LogLevel::Info:
        return "<6>";
    case ostrel_standin::LogLevel::Debug:
        break;
    }
    return "<7>";
}

} // namespace

ozException::ozException(const char *format, ...)
    : std::runtime_error(std::string())
{
    va_list ap;
    va_start(ap, format);
    std::string text = FormatV(format, ap);
    va_end(ap);
    static_cast<std::runtime_error &>(*this) = std::runtime_error(text);
}

void oz_printf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string text = FormatLogText(format, ap);
    va_end(ap);
    Write(ostrel_standin::LogLevel::Info, text);
}

void oz_dprintf(const char *format, ...)
{
    if (!DebugMode()) return;
    va_list ap;
    va_start(ap, format);
    std::string text = FormatLogText(format, ap);
    va_end(ap);
    Write(ostrel_standin::LogLevel::Debug, text);
}

ozDebugLogStream::ozDebugLogStream(Type)
    : std::ostream(nullptr)
{
    rdbuf(&buffer);
}

ozDebugLogStream::~ozDebugLogStream()
{
    buffer.pubsync();
}

int ozDebugLogStream::Buffer::sync()
{
    std::string text = str();
    str(std::string());
    // A dump of many lines by design: its newlines stay.
    if (!text.empty() && DebugMode()) Write(ostrel_standin::LogLevel::Debug, EscapeKeeping(text, true, true));
    return 0;
}

namespace ostrel_standin {

namespace {
std::vector<std::string> captured;
}

void LogAt(LogLevel level, const char *format, ...)
{
    if (level == LogLevel::Debug && !DebugMode()) return;
    va_list ap;
    va_start(ap, format);
    std::string text = FormatLogText(format, ap);
    va_end(ap);
    Write(level, text);
}

std::string JournalText(LogLevel level, const std::string &text, bool mid_line)
{
    const std::string prefix = JournalPrefix(level);
    std::string out;
    bool line_start = !mid_line;
    for (char c : text) {
        if (line_start) out += prefix;
        out += c;
        line_start = c == '\n';
    }
    return out;
}

bool StderrIsJournal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long device = 0, inode = 0;
    char rest = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &rest) != 2) return false;
    struct stat info {
    };
    if (fstat(STDERR_FILENO, &info) != 0) return false;
    return static_cast<unsigned long long>(info.st_dev) == device
        && static_cast<unsigned long long>(info.st_ino) == inode;
}

void SetJournalFormat(bool on)
{
    LogState &state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.journal = on;
}

void SetLogHandler(LogHandler handler)
{
    LogState &state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.handler = std::move(handler);
}

LogCapture::LogCapture()
{
    LogState &state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    captured.clear();
    state.capture = &captured;
}

LogCapture::~LogCapture()
{
    LogState &state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.capture = nullptr;
    captured.clear();
}

std::string LogCapture::Text() const
{
    LogState &state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    std::string text;
    for (const std::string &chunk : captured)
        text += chunk;
    return text;
}

std::vector<std::string> LogCapture::Lines() const
{
    std::string text = Text();
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool LogCapture::Contains(const std::string &needle) const
{
    return Text().find(needle) != std::string::npos;
}

size_t LogCapture::Count(const std::string &needle) const
{
    if (needle.empty()) return 0;
    std::string text = Text();
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        count++;
    return count;
}

void LogCapture::Clear()
{
    LogState &state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    captured.clear();
}

} // namespace ostrel_standin
