// Errors the host reports to the user: every message names the problem and the file involved.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace nimbrelle::host {

// A failure the user can act on. main prints "nimbrelle: error: <what()>" and exits with 1.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// Raised when SIGINT, SIGTERM or SIGHUP arrived; main exits with 130 after the cleanup has run.
class Interrupted : public std::runtime_error {
public:
    Interrupted() : std::runtime_error("interrupted") {}
};

// "'path'" quoted for messages.
std::string Quoted(std::string_view path);

// The text of an errno value, e.g. "No space left on device".
std::string ErrnoText(int errnoValue);

// Prints "nimbrelle: warning: <message>" as one line on standard error: something the user
// should know that does not stop the command. --quiet does not silence it.
void PrintWarning(const std::string& message);

}  // namespace nimbrelle::host
