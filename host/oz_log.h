// Host logging: oz_printf always writes, oz_dprintf only in debug mode.
// ozDebugLogStream is a standard stream whose text goes to the debug log.
#pragma once

#include <memory>
#include <ostream>
#include <sstream>

#include "host/oz_export.h"

OZ_HOST_API void oz_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
OZ_HOST_API void oz_dprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));

class OZ_HOST_API ozDebugLogStream : public std::ostream
{
public:
    enum Type { DLT_NONE = 0, DLT_FLOW = 1 };

    explicit ozDebugLogStream(Type type = DLT_NONE);
    ~ozDebugLogStream() override;

private:
    // Collects text and hands each flushed chunk to the debug log.
    class Buffer : public std::stringbuf
    {
    public:
        int sync() override;
    };

    Buffer buffer;
};
