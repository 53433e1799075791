// Calls into a module that turn a fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL) into a return value
// instead of the end of the process.
//
// The first guarded call installs, once per process, handlers for the four signals (with
// SA_ONSTACK) and saves the handlers that were there before. A thread running a guarded call
// is marked as inside the module; a fault on that thread jumps back to the guard, which
// returns the signal. A fault anywhere else goes to the handler saved before (its function, or
// the default action), so a program's own fault handling sees it as if the guard were absent.
// Each thread that makes a guarded call gets an alternate signal stack, so that a stack
// overflow inside the module is caught as well.
//
// After a caught fault the module's state, and any lock it held, are unknown: the caller must
// not call that copy again, nor unload it (its destructors could run into the same damage).
#pragma once

namespace nimbrelle::gst {

// Runs call(argument). Returns 0 when it returned, or the number of the signal that stopped
// it. `call` must hold nothing that needs destroying when it is abandoned: it should only
// unpack `argument` and call the module's entry.
int CallGuarded(void (*call)(void* argument), void* argument);

// "SIGSEGV", "SIGBUS", "SIGFPE", "SIGILL", or "another signal".
const char* FaultName(int signal);

}  // namespace nimbrelle::gst
