#include "tests/support/host_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

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

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-test-XXXXXX").string();
    char *made = mkdtemp(&pattern[0]);
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path = made;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path, ignored);
}

std::string TempDir::Write(const std::string &name, const std::string &text) const
{
    std::string file = File(name);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    return file;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

HostFixture::HostFixture()
{
    ozGlobalConfig::instance = &global;
    ozInstance::instance = &host;
}

HostFixture::~HostFixture()
{
    ozGlobalConfig::instance = nullptr;
    ozInstance::instance = nullptr;
}

void HostFixture::SetDebug(bool on, uint8_t level)
{
    if (on)
        global.flags |= ozGlobalConfig::GF_DEBUG;
    else
        global.flags &= ~static_cast<uint64_t>(ozGlobalConfig::GF_DEBUG);
    global.debug_level = level;
}

std::shared_ptr<ozFlow> MakeFlow(const FlowSpec &fields)
{
    auto flow = std::make_shared<ozFlow>();
    ozAddr mac(fields.mac), ip(fields.ip), other_mac(fields.other_mac), other_ip(fields.other_ip);
    flow->origin = fields.origin;
    if (fields.origin == ozFlow::ORIGIN_UPPER) {
        flow->upper_mac = mac;
        flow->upper_addr = ip;
        flow->lower_mac = other_mac;
        flow->lower_addr = other_ip;
    } else {
        flow->lower_mac = mac;
        flow->lower_addr = ip;
        flow->upper_mac = other_mac;
        flow->upper_addr = other_ip;
    }
    flow->detected_protocol = fields.protocol;
    flow->dhcp.class_ident = fields.dhcp_class_ident;
    flow->dhcp.fingerprint = fields.dhcp_fingerprint;
    flow->host_name = fields.host_name;
    flow->user_agent = fields.user_agent;
    flow->user_agent_source = fields.user_agent_source;
    flow->tls.client_ja4 = fields.ja4;
    flow->mdns.domain_name = fields.mdns;
    flow->excluded = fields.excluded;
    return flow;
}

} // namespace ostrel_test
