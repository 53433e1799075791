// Process-wide signal handling: Ctrl-C, SIGTERM and SIGHUP request a clean stop; broken pipes and
// oversized files become ordinary write errors instead of killing the process.
#pragma once

#include <csignal>

namespace nimbrelle::host {

// Installs the handlers: SIGINT, SIGTERM and SIGHUP set the interrupt flag (without SA_RESTART, so a
// blocked write returns EINTR); SIGPIPE and SIGXFSZ are ignored, so writes fail with EPIPE or
// EFBIG instead. Child processes get default dispositions back (see Subprocess).
void InstallSignalHandlers();

// True once SIGINT, SIGTERM or SIGHUP has arrived (while a StopFinishes is alive: the second).
bool InterruptRequested();

// True once any SIGINT, SIGTERM or SIGHUP has arrived.
bool StopRequested();

// While one is alive, a stop signal asks for the work in hand to be finished, not abandoned:
// the first one only makes StopRequested() true, so writes and waits carry on; the next one
// interrupts as ever (a user who does not want to wait).
class StopFinishes {
public:
    StopFinishes();
    ~StopFinishes();
    StopFinishes(const StopFinishes&) = delete;
    StopFinishes& operator=(const StopFinishes&) = delete;
};

// Throws Interrupted when InterruptRequested().
void ThrowIfInterrupted();

}  // namespace nimbrelle::host
