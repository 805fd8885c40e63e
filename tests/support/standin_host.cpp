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
        ozStandin::SetSinkHandler(nullptr);
        ozStandin::SetLogHandler(nullptr);
    }
    ozGlobalConfig::instance = nullptr;
    ozInstance::instance = nullptr;
}

void StandinHost::Silence()
{
    ozStandin::SetLogHandler([](ozStandin::LogLevel, const std::string &) {});
    ozStandin::SetSinkHandler([](const std::string &, const std::string &, const std::set<std::string> &,
                                  const nlohmann::json &, uint8_t) {});
    silenced = true;
}

} // namespace ostrel_test
