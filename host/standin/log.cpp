#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <vector>

#include "host/oz_config.h"
#include "host/oz_exception.h"
#include "host/oz_log.h"
#include "host/standin/standin.h"

namespace {

struct LogState {
    std::mutex lock;
    ozStandin::LogHandler handler;
    std::vector<std::string> *capture = nullptr;
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

bool DebugMode()
{
    ozGlobalConfig *config = ozGlobalConfig::instance;
    return config != nullptr && config->IsDebug();
}

void Write(ozStandin::LogLevel level, const std::string &text)
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
    std::fputs(text.c_str(), stderr);
}

} // namespace

ozException::ozException(const char *format, ...) : std::runtime_error(std::string())
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
    std::string text = FormatV(format, ap);
    va_end(ap);
    Write(ozStandin::LogLevel::Info, text);
}

void oz_dprintf(const char *format, ...)
{
    if (!DebugMode()) return;
    va_list ap;
    va_start(ap, format);
    std::string text = FormatV(format, ap);
    va_end(ap);
    Write(ozStandin::LogLevel::Debug, text);
}

ozDebugLogStream::ozDebugLogStream(Type) : std::ostream(nullptr)
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
    if (!text.empty() && DebugMode()) Write(ozStandin::LogLevel::Debug, text);
    return 0;
}

namespace ozStandin {

namespace {
std::vector<std::string> captured;
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
    for (const std::string &chunk : captured) text += chunk;
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

} // namespace ozStandin
