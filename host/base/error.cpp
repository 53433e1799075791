#include "base/error.h"

#include <cstdio>
#include <cstring>

namespace nimbrelle::host {

std::string Quoted(std::string_view path)
{
    std::string s;
    s.reserve(path.size() + 2);
    s += '\'';
    s += path;
    s += '\'';
    return s;
}

std::string ErrnoText(int errnoValue)
{
    // strerror is not required to be thread-safe; the host calls it from one thread only.
    return std::strerror(errnoValue);
}

void PrintWarning(const std::string& message)
{
    std::fprintf(stderr, "nimbrelle: warning: %s\n", message.c_str());
}

}  // namespace nimbrelle::host
