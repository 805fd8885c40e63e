// Host thread base: Create starts Entry on a new thread, Terminate asks it to
// stop, Join waits for it. The ended flag is set once Entry has returned.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "host/oz_export.h"

class OZ_HOST_API ozThread
{
public:
    explicit ozThread(const std::string &tag);
    virtual ~ozThread();

    ozThread(const ozThread &) = delete;
    ozThread &operator=(const ozThread &) = delete;

    virtual void Create();
    virtual void *Entry() = 0;
    virtual void Terminate() { terminate = true; }

    void Join();

    bool ShouldTerminate() const { return terminate.load(); }
    bool HasTerminated() const { return terminated.load(); }

protected:
    std::string tag;
    std::atomic<bool> terminate {false};
    std::atomic<bool> terminated {false};

private:
    void Run();

    std::thread thread;
};
