// Small text helpers the host's messages and matching share.
#pragma once

#include <string>
#include <string_view>

namespace nimbrelle::host {

// `s` with ASCII letters in lower case.
std::string Lower(std::string_view s);

bool EndsWith(std::string_view s, std::string_view tail);

// "12", "12.5" or "12.345": at most millisecond precision, no trailing zeros.
std::string SecondsText(double seconds);

}  // namespace nimbrelle::host
