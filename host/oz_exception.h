// Host exception with a printf-style message.
#pragma once

#include <stdexcept>
#include <string>

#include "host/oz_export.h"

class OZ_HOST_API ozException : public std::runtime_error
{
public:
    explicit ozException(const char *format, ...) __attribute__((format(printf, 2, 3)));
};
