#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>

#include <cstring>
#include <set>

#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"

namespace {

using ostrel_test::FlowFields;
using ostrel_test::MakeFlow;

// The names that the library's dynamic symbol table defines.
std::set<std::string> DefinedDynamicSymbols(const std::string &path)
{
    std::string image = ostrel_test::ReadFile(path);
    std::set<std::string> names;
    if (image.size() < sizeof(Elf64_Ehdr)) return names;
    const char *base = image.data();
    const auto *header = reinterpret_cast<const Elf64_Ehdr *>(base);
    const auto *sections = reinterpret_cast<const Elf64_Shdr *>(base + header->e_shoff);
    for (int i = 0; i < header->e_shnum; i++) {
        if (sections[i].sh_type != SHT_DYNSYM) continue;
        const Elf64_Shdr &strings = sections[sections[i].sh_link];
        const auto *symbols = reinterpret_cast<const Elf64_Sym *>(base + sections[i].sh_offset);
        size_t count = sections[i].sh_size / sizeof(Elf64_Sym);
        for (size_t s = 1; s < count; s++) {
            if (symbols[s].st_shndx == SHN_UNDEF) continue;
            names.insert(base + strings.sh_offset + symbols[s].st_name);
        }
    }
    return names;
}

TEST(PluginLibraryTest, ExportsExactlyTheAbiRecordAndTheFactory)
{
    EXPECT_EQ(
        DefinedDynamicSymbols(OSTREL_PLUGIN_PATH), (std::set<std::string> {"oz_plugin_abi", "ozPluginInit"}));
}

class PluginTest : public ostrel_test::HostFixture
{
protected:
    ozPlugin::Params Params() { return {{"conf_filename", dir.File("plugin.json")}}; }
};

TEST_F(PluginTest, AbiRecordCarriesItsEightValues)
{
    void *library = dlopen(OSTREL_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto *abi = static_cast<const uint8_t *>(dlsym(library, OZ_PLUGIN_ABI_SYMBOL));
    ASSERT_NE(abi, nullptr);
    const uint8_t expected[32] = {
        0x42,
        0x41,
        0x50,
        0x4f,
        0x20,
        0,
        0,
        0,
        15,
        0,
        0,
        0,
        0x09,
        0x03,
        0x23,
        0x20,
        1,
        0,
        0,
        0,
        0,
        0,
        0,
        0,
        0x60,
        0x0b,
        0,
        0,
        0x48,
        0,
        0,
        0,
    };
    EXPECT_EQ(std::memcmp(abi, expected, sizeof(expected)), 0);

    auto init = reinterpret_cast<ozPluginInitFunction>(dlsym(library, OZ_PLUGIN_INIT_SYMBOL));
    ASSERT_NE(init, nullptr);
    ozPlugin *plugin = init("dev-discovery", Params());
    ASSERT_NE(plugin, nullptr);
    std::string text = "old";
    plugin->GetLibrary(text);
    EXPECT_EQ(text, "ostrel-proc-dev-discovery");
    plugin->GetName(text);
    EXPECT_EQ(text, "Ostrel Device Discovery Processor Plugin");
    plugin->GetVersion(text);
    EXPECT_EQ(text, "1.2.11");
    delete plugin;

    // Types other than 1 and 2 are refused.
    ozPlugin::Params sink_type = Params();
    sink_type["plugin_type"] = "3";
    EXPECT_EQ(init("dev-discovery", sink_type), nullptr);
    EXPECT_TRUE(log.Contains("Invalid plugin type: dev-discovery [3]\n"));
    sink_type["plugin_type"] = "2";
    plugin = init("dev-discovery", sink_type);
    EXPECT_NE(plugin, nullptr);
    delete plugin;
    dlclose(library);
}

TEST_F(PluginTest, ConstructorRefusesAnEmptyConfigurationFileName)
{
    try {
        ozpPlugin plugin("dev-discovery", {});
        FAIL();
    } catch (const ozException &e) {
        EXPECT_STREQ(e.what(), "dev-discovery: conf_filename: Invalid argument");
    }
}

TEST_F(PluginTest, ConstructionAndDestructionAreLoggedInDebugMode)
{
    SetDebug(true);
    {
        ozpPlugin plugin("dev-discovery", Params());
        EXPECT_TRUE(plugin.reload_pending);
        EXPECT_FALSE(plugin.update_pending);
    }
    EXPECT_EQ(log.Text(), "dev-discovery: initialized\ndev-discovery: destroyed\n");
}

TEST_F(PluginTest, OnlyFlowEventsTwoSixAndEightQueueFlows)
{
    ozpPlugin plugin("dev-discovery", Params());
    auto flow = MakeFlow(FlowFields());
    for (unsigned event = 0; event < 20; event++)
        plugin.DispatchProcessorEvent(static_cast<ozPluginProcessor::Event>(event), flow);
    ASSERT_EQ(plugin.flow_queue.size(), 3u);
    for (const auto &queued : plugin.flow_queue)
        EXPECT_EQ(queued, flow);

    FlowFields excluded;
    excluded.excluded = true;
    auto hidden = MakeFlow(excluded);
    for (unsigned event : {2u, 6u, 8u})
        plugin.DispatchProcessorEvent(static_cast<ozPluginProcessor::Event>(event), hidden);
    EXPECT_EQ(plugin.flow_queue.size(), 3u);
}

TEST_F(PluginTest, ReloadAndUpdateEventsOnlySetTheirFlags)
{
    ozpPlugin plugin("dev-discovery", Params());
    plugin.reload_pending = false;
    plugin.DispatchEvent(ozPlugin::EVENT_STATUS);
    plugin.DispatchProcessorEvent(ozPluginProcessor::EVENT_INIT);
    EXPECT_FALSE(plugin.reload_pending);
    EXPECT_FALSE(plugin.update_pending);
    plugin.DispatchEvent(ozPlugin::EVENT_RELOAD);
    EXPECT_TRUE(plugin.reload_pending);
    EXPECT_FALSE(plugin.update_pending);
    plugin.DispatchProcessorEvent(ozPluginProcessor::EVENT_UPDATE);
    EXPECT_TRUE(plugin.update_pending);
}

} // namespace
