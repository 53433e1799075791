#include "base/signals.h"

#include <signal.h>

#include <atomic>

#include "base/error.h"

namespace nimbrelle::host {
namespace {

volatile std::sig_atomic_t StopSignal = 0;      // set: the work is interrupted
volatile std::sig_atomic_t Finishing = 0;       // a StopFinishes is alive
std::atomic<int> Stops{0};                      // stop signals so far
static_assert(std::atomic<int>::is_always_lock_free, "counted in a signal handler");

extern "C" void OnStopSignal(int signalNumber)
{
    if (Stops.fetch_add(1) > 0 || Finishing == 0) StopSignal = signalNumber;
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

bool StopRequested()
{
    return Stops.load() > 0;
}

StopFinishes::StopFinishes()
{
    Finishing = 1;
}

StopFinishes::~StopFinishes()
{
    Finishing = 0;
}

void ThrowIfInterrupted()
{
    if (InterruptRequested()) throw Interrupted();
}

}  // namespace nimbrelle::host
