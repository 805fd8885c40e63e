#include <exception>

#include "host/oz_exception.h"
#include "host/oz_log.h"
#include "host/oz_thread.h"

ozThread::ozThread(const std::string &tag)
    : tag(tag)
{
}

ozThread::~ozThread()
{
    // Subclasses join before their members go; this is the last safety net.
    Join();
}

void ozThread::Create()
{
    if (thread.joinable()) throw ozException("%s: thread already created", tag.c_str());
    terminated = false;
    try {
        thread = std::thread(&ozThread::Run, this);
    } catch (const std::system_error &e) {
        throw ozException("%s: thread create failed: %s", tag.c_str(), e.what());
    }
}

void ozThread::Join()
{
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

void ozThread::Run()
{
    // An exception must never leave a host thread: it would end the daemon.
    try {
        Entry();
    } catch (const std::exception &e) {
        oz_printf("%s: thread ended by exception: %s\n", tag.c_str(), e.what());
    } catch (...) {
        oz_printf("%s: thread ended by unknown exception\n", tag.c_str());
    }
    terminated = true;
}
