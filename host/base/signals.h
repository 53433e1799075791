// Process-wide signal handling: Ctrl-C, SIGTERM and SIGHUP request a clean stop; broken pipes and
// oversized files become ordinary write errors instead of killing the process.
#pragma once

#include <csignal>

namespace nimbrelle::host {

// Installs the handlers: SIGINT, SIGTERM and SIGHUP set the interrupt flag (without SA_RESTART, so a
// blocked write returns EINTR); SIGPIPE and SIGXFSZ are ignored, so writes fail with EPIPE or
// EFBIG instead. Child processes get default dispositions back (see Subprocess).
void InstallSignalHandlers();

// True once SIGINT, SIGTERM or SIGHUP has arrived.
bool InterruptRequested();

// Throws Interrupted when InterruptRequested().
void ThrowIfInterrupted();

}  // namespace nimbrelle::host
