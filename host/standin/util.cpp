#include <sys/stat.h>

#include "host/oz_util.h"

std::string oz_expand_variables(const std::string &text, const ozVariableMap &vars)
{
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        size_t open = text.find("${", at);
        if (open == std::string::npos) break;
        size_t close = text.find('}', open + 2);
        if (close == std::string::npos) break;
        out.append(text, at, open - at);
        auto var = vars.find(text.substr(open + 2, close - open - 2));
        if (var != vars.end())
            out += var->second;
        else
            out.append(text, open, close - open + 1);
        at = close + 1;
    }
    out.append(text, at, std::string::npos);
    return out;
}

bool oz_file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}
