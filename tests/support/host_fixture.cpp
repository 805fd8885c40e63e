#include "tests/support/host_fixture.h"

#include <cctype>
#include <mutex>

namespace ostrel_test {

struct SinkCapture::State {
    mutable std::mutex lock;
    std::vector<SinkCall> calls;
};

SinkCapture::SinkCapture()
    : state(std::make_shared<State>())
{
    std::shared_ptr<State> shared = state;
    ostrel_standin::SetSinkHandler(
        [shared](const std::string &tag, const std::string &sink, const std::set<std::string> &channels,
            const nlohmann::json &payload, uint8_t flags) {
            std::lock_guard<std::mutex> guard(shared->lock);
            shared->calls.push_back(SinkCall {tag, sink, channels, payload, flags});
        });
}

SinkCapture::~SinkCapture()
{
    ostrel_standin::SetSinkHandler(nullptr);
}

std::vector<SinkCall> SinkCapture::Calls() const
{
    std::lock_guard<std::mutex> guard(state->lock);
    return state->calls;
}

void SinkCapture::Clear()
{
    std::lock_guard<std::mutex> guard(state->lock);
    state->calls.clear();
}

HostFixture::HostFixture() = default;

HostFixture::~HostFixture() = default;

void HostFixture::SetDebug(bool on, uint8_t level)
{
    if (on)
        global.flags |= ozGlobalConfig::GF_DEBUG;
    else
        global.flags &= ~static_cast<uint64_t>(ozGlobalConfig::GF_DEBUG);
    global.debug_level = level;
}

std::string ParamName(const ::testing::TestParamInfo<std::string> &info)
{
    std::string name;
    for (char c : info.param)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

} // namespace ostrel_test
