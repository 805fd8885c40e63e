// ostrel-host: a small stand-in for the ostreld daemon. Loads a processor
// plug-in library the way the daemon does, runs it, and stops it cleanly.
#include <dlfcn.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "host/ozhost.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void OnSignal(int)
{
    stop_requested = 1;
}

void Usage()
{
    std::cerr << "usage: ostrel-host --plugin LIB --conf FILE [--tag TAG] [--var NAME=VALUE]...\n"
                 "                   [--run-seconds N] [--update-interval N] [--debug] [--debug-level N]\n";
}

bool CheckAbi(const ozPluginAbi &abi, std::string &error)
{
    struct Field {
        const char *name;
        uint32_t expected;
        uint32_t found;
    } fields[] = {
        {"magic", OZ_PLUGIN_ABI_MAGIC, abi.magic},
        {"size", sizeof(ozPluginAbi), abi.size},
        {"version", OZ_PLUGIN_ABI_VERSION, abi.version},
    };
    for (const Field &field : fields) {
        if (field.expected == field.found) continue;
        char text[160];
        snprintf(text, sizeof(text), "ABI %s mismatch: expected 0x%x, found 0x%x", field.name, field.expected,
            field.found);
        error = text;
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::string library, conf, tag = "dev-discovery";
    long run_seconds = 0, update_interval = 1;
    ozGlobalConfig global;
    ozInstance instance;

    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Usage();
                exit(2);
            }
            return argv[++i];
        };
        if (arg == "--plugin") library = value();
        else if (arg == "--conf") conf = value();
        else if (arg == "--tag") tag = value();
        else if (arg == "--run-seconds") run_seconds = std::stol(value());
        else if (arg == "--update-interval") update_interval = std::stol(value());
        else if (arg == "--debug") global.flags |= ozGlobalConfig::GF_DEBUG;
        else if (arg == "--debug-level") global.debug_level = static_cast<uint8_t>(std::stoul(value()));
        else if (arg == "--var") {
            std::string pair = value();
            size_t equals = pair.find('=');
            if (equals == std::string::npos) {
                Usage();
                return 2;
            }
            global.variables[pair.substr(0, equals)] = pair.substr(equals + 1);
        } else {
            Usage();
            return 2;
        }
    }
    if (library.empty() || conf.empty()) {
        Usage();
        return 2;
    }

    ozGlobalConfig::instance = &global;
    ozInstance::instance = &instance;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    void *handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::cerr << "ostrel-host: " << library << ": " << dlerror() << "\n";
        return 1;
    }
    const auto *abi = static_cast<const ozPluginAbi *>(dlsym(handle, OZ_PLUGIN_ABI_SYMBOL));
    auto init = reinterpret_cast<ozPluginInitFunction>(dlsym(handle, OZ_PLUGIN_INIT_SYMBOL));
    std::string error;
    if (abi == nullptr || init == nullptr) error = "not a plug-in library (missing entry points)";
    else CheckAbi(*abi, error);
    if (!error.empty()) {
        std::cerr << "ostrel-host: " << library << ": " << error << "\n";
        dlclose(handle);
        return 1;
    }

    int status = 0;
    try {
        std::unique_ptr<ozPlugin> plugin(init(tag, {{"conf_filename", conf}}));
        if (!plugin) throw ozException("%s: plug-in refused to initialise", library.c_str());
        plugin->Create();
        auto *processor = dynamic_cast<ozPluginProcessor *>(plugin.get());
        auto start = std::chrono::steady_clock::now();
        auto next_update = start + std::chrono::seconds(update_interval);
        while (!stop_requested) {
            auto now = std::chrono::steady_clock::now();
            if (run_seconds > 0 && now - start >= std::chrono::seconds(run_seconds)) break;
            if (processor != nullptr && now >= next_update) {
                processor->DispatchProcessorEvent(ozPluginProcessor::EVENT_UPDATE);
                next_update += std::chrono::seconds(update_interval);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        plugin->Terminate();
        plugin->Join();
    } catch (const std::exception &e) {
        std::cerr << "ostrel-host: " << e.what() << "\n";
        status = 1;
    }
    dlclose(handle);
    ozGlobalConfig::instance = nullptr;
    ozInstance::instance = nullptr;
    return status;
}
