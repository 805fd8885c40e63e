// The files the programs ship with, found from where they run: beside an
// installed executable first (the install layout, relative to its bin/), then
// where the build tree keeps them, so that a build-tree run needs no flags.
#pragma once

#include <string>

namespace ostrel_tools {

// The folder of the running executable, or "" when /proc/self/exe is unreadable.
std::string ExecutableDir();

// `dir/relative` when that file exists, else `fallback`.
std::string InstalledOr(const std::string &dir, const std::string &relative, const std::string &fallback);

// The plug-in library ostrel-host loads when its configuration names none.
std::string DefaultPluginPath();

// The host configuration read when --config is not given: the installed one
// (under /etc), or "" in the build tree.
std::string DefaultHostConfigPath();

// The rule file of ostrel-classifier when --rules is not given.
std::string DefaultRulesPath();

} // namespace ostrel_tools
