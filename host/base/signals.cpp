#include "base/signals.h"

#include <signal.h>

#include "base/error.h"

namespace nimbrelle::host {
namespace {

volatile std::sig_atomic_t StopSignal = 0;

extern "C" void OnStopSignal(int signalNumber)
{
    StopSignal = signalNumber;
}

void SetHandler(int signalNumber, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a write blocked on a full pipe returns EINTR
    sigaction(signalNumber, &action, nullptr);
}

}  // namespace

void InstallSignalHandlers()
{
    SetHandler(SIGINT, OnStopSignal);
    SetHandler(SIGTERM, OnStopSignal);
    SetHandler(SIGHUP, OnStopSignal);  // a closed terminal stops a render as Ctrl-C does
    SetHandler(SIGPIPE, SIG_IGN);
    SetHandler(SIGXFSZ, SIG_IGN);
}

bool InterruptRequested()
{
    return StopSignal != 0;
}

void ThrowIfInterrupted()
{
    if (InterruptRequested()) throw Interrupted();
}

}  // namespace nimbrelle::host
