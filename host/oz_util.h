// Small host helpers for files and configuration variables.
#pragma once

#include <map>
#include <string>

#include "host/oz_export.h"

using ozVariableMap = std::map<std::string, std::string>;

// Replaces each "${name}" found in `vars`; unknown names stay as written.
OZ_HOST_API std::string oz_expand_variables(const std::string &text, const ozVariableMap &vars);

OZ_HOST_API bool oz_file_exists(const std::string &path);
