// How an output is named while it is written: hidden, beside its final name, on the same file
// system, so that publishing it is a rename.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "base/error.h"
#include "base/files.h"

namespace nimbrelle::host {

// The start of a temporary name, ".<stem><tail>" (".<stem>.partial-" unless told), with `stem`
// cut (never inside a UTF-8 character) so that the whole name, with its six random characters and
// `extension`, still fits in one file name: an output name may be as long as the file system
// allows.
std::string PartialPrefix(const std::string& stem, std::size_t extensionSize, const std::string& tail = ".partial-");

// `make()`, with a failure reported as one to write `output`.
template <class Make>
TempPath ForOutput(const std::filesystem::path& output, Make make)
{
    try {
        return make();
    } catch (const Error& e) {
        throw Error("cannot write " + Quoted(output.string()) + ": " + e.what());
    }
}

}  // namespace nimbrelle::host
