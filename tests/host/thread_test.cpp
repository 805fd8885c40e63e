// The host's threads.
#include <gtest/gtest.h>

#include <string>

#include "host/ozhost.h"
#include "tests/support/host_fixture.h"

namespace {

using HostTest = ostrel_test::HostFixture;

class ThrowingThread : public ozThread
{
public:
    ThrowingThread()
        : ozThread("thrower")
    {
    }
    ~ThrowingThread() override { Join(); }
    void *Entry() override { throw ozException("%s: boom %d", tag.c_str(), 7); }
};

TEST_F(HostTest, AnExceptionEndsOnlyItsThread)
{
    ThrowingThread thread;
    thread.Create();
    thread.Join();
    EXPECT_TRUE(thread.HasTerminated());
    EXPECT_TRUE(log.Contains("thrower: thread ended by exception: thrower: boom 7"));
}

} // namespace
