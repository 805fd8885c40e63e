// The host singletons of the stand-in host library, installed for the life
// of one object: what every test, fuzz target and benchmark of the plug-in
// needs before it creates one.
#pragma once

#include "host/ozhost.h"
#include "host/standin/standin.h"

namespace ostrel_test {

class StandinHost
{
public:
    StandinHost();
    ~StandinHost();
    StandinHost(const StandinHost &) = delete;
    StandinHost &operator=(const StandinHost &) = delete;

    // Drops every log text and sink payload, so that nothing is written
    // between a tool's own output; the handlers are reset at the end.
    void Silence();

    ozGlobalConfig global;
    ozInstance instance;

private:
    bool silenced = false;
};

} // namespace ostrel_test
