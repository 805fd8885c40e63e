// What every fuzz target needs: the host singletons in debug mode with the
// log thrown away, a clock that stands still, a private folder for files,
// and a reader that turns the fuzzer's bytes into values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "host/ozhost.h"
#include "host/standin/standin.h"
#include "plugin/plugin.h"
#include "tests/support/files.h"
#include "tests/support/standin_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace ostrel_fuzz {

// One per process, made on first use and kept until exit.
class FuzzHost
{
public:
    static FuzzHost &Get();

    // A plug-in whose configuration file is `conf` in the private folder.
    std::unique_ptr<ozpPlugin> MakePlugin(const std::string &conf = "plugin.json") const;

    std::string File(const std::string &name) const { return dir.File(name); }
    std::string Write(const std::string &name, const std::string &text) const;

    ostrel_test::StandinHost standin;
    ostrel_standin::ManualClock clock;
    ostrel_test::TempDir dir;

private:
    FuzzHost();
    ~FuzzHost();
};

// Reads values off the front of the input; past its end every value is zero
// or empty, so any input decodes.
class ByteReader
{
public:
    ByteReader(const uint8_t *data, size_t size)
        : data(data)
        , size(size)
    {
    }

    bool Empty() const { return at >= size; }
    uint8_t Byte();
    uint16_t Word();
    // A text of up to `max` bytes, its length first.
    std::string Text(size_t max = 255);
    // Everything left.
    std::string Rest();

private:
    const uint8_t *data;
    size_t size;
    size_t at = 0;
};

// Aborts with `what` when `condition` is false: libFuzzer and the replay
// both report an abort as a failure, with the input that caused it.
void Require(bool condition, const char *what);

} // namespace ostrel_fuzz
