// `nimbrelle info`: what a module's descriptor holds.
#pragma once

#include <cstdio>
#include <filesystem>

namespace nimbrelle::host {

// Prints the descriptor of the module at `path`: name, words and entry addresses.
void PrintModuleInfo(const std::filesystem::path& path, std::FILE* out);

}  // namespace nimbrelle::host
