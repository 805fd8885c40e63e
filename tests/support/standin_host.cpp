#include "tests/support/standin_host.h"

namespace ostrel_test {

StandinHost::StandinHost()
{
    ozGlobalConfig::instance = &global;
    ozInstance::instance = &instance;
}

StandinHost::~StandinHost()
{
    if (silenced) {
        ostrel_standin::SetSinkHandler(nullptr);
        ostrel_standin::SetLogHandler(nullptr);
    }
    ozGlobalConfig::instance = nullptr;
    ozInstance::instance = nullptr;
}

void StandinHost::Silence()
{
    ostrel_standin::SetLogHandler([](ostrel_standin::LogLevel, const std::string &) {});
    ostrel_standin::SetSinkHandler([](const std::string &, const std::string &, const std::set<std::string> &,
                                       const nlohmann::json &, uint8_t) {});
    silenced = true;
}

} // namespace ostrel_test
