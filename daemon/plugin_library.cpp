#include "daemon/plugin_library.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <exception>

namespace ostrel_host {

namespace {

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%x", value);
    return text;
}

// Size of the exported object, or 0 when the loader cannot tell.
size_t SymbolSize(const void *address)
{
    Dl_info info;
    void *entry = nullptr;
    if (dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0 || entry == nullptr) return 0;
    return static_cast<const ElfW(Sym) *>(entry)->st_size;
}

} // namespace

std::string CheckPluginAbi(const ozPluginAbi &abi)
{
    if (abi.magic != OZ_PLUGIN_ABI_MAGIC)
        return "magic: expected " + Hex(OZ_PLUGIN_ABI_MAGIC) + ", found " + Hex(abi.magic);
    if (abi.size != sizeof(ozPluginAbi))
        return "size: expected " + std::to_string(sizeof(ozPluginAbi)) + ", found "
            + std::to_string(abi.size);
    if (abi.version != OZ_PLUGIN_ABI_VERSION)
        return "version: expected " + std::to_string(OZ_PLUGIN_ABI_VERSION) + ", found "
            + std::to_string(abi.version);
    return std::string();
}

PluginLibrary::~PluginLibrary()
{
    Close();
}

bool PluginLibrary::Open(const std::string &library, std::string &error)
{
    Close();
    path = library;
    dlerror();
    handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        error = library + ": " + (why != nullptr ? why : "cannot be loaded");
        return false;
    }
    const void *record = dlsym(handle, OZ_PLUGIN_ABI_SYMBOL);
    if (record == nullptr) {
        error = library + ": not a plug-in library: no " OZ_PLUGIN_ABI_SYMBOL " symbol";
        Close();
        return false;
    }
    // A record shorter than the host's must not be read past its end.
    size_t size = SymbolSize(record);
    if (size != 0 && size < sizeof(ozPluginAbi)) {
        error = library + ": " OZ_PLUGIN_ABI_SYMBOL ": record is " + std::to_string(size)
            + " bytes, expected " + std::to_string(sizeof(ozPluginAbi));
        Close();
        return false;
    }
    std::string mismatch = CheckPluginAbi(*static_cast<const ozPluginAbi *>(record));
    if (!mismatch.empty()) {
        error = library + ": " OZ_PLUGIN_ABI_SYMBOL ": " + mismatch;
        Close();
        return false;
    }
    init = reinterpret_cast<ozPluginInitFunction>(dlsym(handle, OZ_PLUGIN_INIT_SYMBOL));
    if (init == nullptr) {
        error = library + ": not a plug-in library: no " OZ_PLUGIN_INIT_SYMBOL " symbol";
        Close();
        return false;
    }
    return true;
}

std::unique_ptr<ozPlugin> PluginLibrary::Create(
    const std::string &tag, const ozPlugin::Params &params, std::string &error)
{
    if (init == nullptr) {
        error = tag + ": no plug-in library open";
        return nullptr;
    }
    std::unique_ptr<ozPlugin> plugin;
    try {
        plugin.reset(init(tag, params));
    } catch (const std::exception &e) {
        error = tag + ": " + path + ": plug-in refused to start: " + e.what();
        return nullptr;
    }
    if (!plugin) error = tag + ": " + path + ": plug-in refused to start (see its log line above)";
    return plugin;
}

void PluginLibrary::Close()
{
    if (handle != nullptr) dlclose(handle);
    handle = nullptr;
    init = nullptr;
}

} // namespace ostrel_host
