// Preloaded into a process, makes its fsync or rename calls fail with EIO:
// OSTREL_FAIL="fsync:2" fails the second fsync only, "rename:1+" the first
// rename and every later one. OSTREL_SLOW_FSYNC_MS="5" makes every fsync
// take that long first, like a slow disk. Other calls go to the C library.
#include <dlfcn.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Rule {
    std::string call;
    unsigned long nth = 0;
    bool and_later = false;
};

Rule ReadRule()
{
    Rule rule;
    const char *text = std::getenv("OSTREL_FAIL");
    if (text == nullptr) return rule;
    std::string rule_text = text;
    size_t colon = rule_text.find(':');
    if (colon == std::string::npos) return rule;
    rule.call = rule_text.substr(0, colon);
    rule.nth = std::strtoul(rule_text.c_str() + colon + 1, nullptr, 10);
    rule.and_later = rule_text.back() == '+';
    return rule;
}

// True when this call of `call` is to fail.
bool Fails(const char *call, std::atomic<unsigned long> &calls)
{
    static const Rule rule = ReadRule();
    if (rule.call != call) return false;
    unsigned long n = ++calls;
    return n == rule.nth || (rule.and_later && n > rule.nth);
}

template <typename F> F Next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

std::atomic<unsigned long> fsync_calls {0};
std::atomic<unsigned long> rename_calls {0};

} // namespace

extern "C" int fsync(int fd)
{
    static const long slow_ms
        = std::getenv("OSTREL_SLOW_FSYNC_MS") ? std::atol(std::getenv("OSTREL_SLOW_FSYNC_MS")) : 0;
    if (slow_ms > 0) {
        timespec pause {slow_ms / 1000, slow_ms % 1000 * 1000000};
        nanosleep(&pause, nullptr);
    }
    if (Fails("fsync", fsync_calls)) {
        errno = EIO;
        return -1;
    }
    static auto real = Next<int (*)(int)>("fsync");
    return real(fd);
}

extern "C" int rename(const char *from, const char *to)
{
    if (Fails("rename", rename_calls)) {
        errno = EIO;
        return -1;
    }
    static auto real = Next<int (*)(const char *, const char *)>("rename");
    return real(from, to);
}
