#include "module_guard.h"

#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <mutex>

#include <atomic>

namespace nimbrelle::gst {
namespace {

constexpr int Faults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int FaultCount = sizeof Faults / sizeof Faults[0];
// The handlers in place before the guard's, by index in Faults.
struct sigaction Previous[FaultCount];

// Where a guarded call jumps back to.
struct Landing {
    sigjmp_buf jump;
    volatile sig_atomic_t signal;
};

// The landing of the guarded call this thread is in, or null. Initial-exec, so that the
// signal handler reads it without the dynamic TLS path, which may allocate.
__attribute__((tls_model("initial-exec"))) thread_local Landing* Inside = nullptr;

// Hands a fault outside the module to the handler saved before the guard's.
void Chain(int signal, siginfo_t* info, void* context)
{
    const struct sigaction* previous = nullptr;
    for (int i = 0; i < FaultCount; ++i) {
        if (Faults[i] == signal) previous = &Previous[i];
    }
    if (previous == nullptr || previous->sa_handler == SIG_DFL) {
        // The default action: with the signal blocked while this handler runs, it is taken
        // as soon as the handler returns (a fault that recurs is taken again as well).
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(signal, &fallback, nullptr);
        raise(signal);
        return;
    }
    if (previous->sa_handler == SIG_IGN) return;
    if ((previous->sa_flags & SA_SIGINFO) != 0) {
        previous->sa_sigaction(signal, info, context);
    } else {
        previous->sa_handler(signal);
    }
}

void OnFault(int signal, siginfo_t* info, void* context)
{
    Landing* landing = Inside;
    if (landing == nullptr) {
        Chain(signal, info, context);
        return;
    }
    Inside = nullptr;
    landing->signal = signal;
    siglongjmp(landing->jump, 1);
}

void InstallHandlers()
{
    struct sigaction action = {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < FaultCount; ++i) sigaction(Faults[i], &action, &Previous[i]);
}

// An alternate signal stack for this thread, unless it has one already; removed when the
// thread ends, if it is still the thread's.
class AltStack {
public:
    AltStack()
    {
        stack_t current = {};
        if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) return;
        const long minimum = SIGSTKSZ;
        size_ = minimum > 65536 ? static_cast<std::size_t>(minimum) : 65536u;
        memory_ = std::malloc(size_);
        if (memory_ == nullptr) return;
        stack_t stack = {};
        stack.ss_sp = memory_;
        stack.ss_size = size_;
        if (sigaltstack(&stack, nullptr) != 0) {
            std::free(memory_);
            memory_ = nullptr;
        }
    }
    ~AltStack()
    {
        if (memory_ == nullptr) return;
        stack_t current = {};
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == memory_) {
            stack_t off = {};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
            std::free(memory_);
        }
        // Otherwise someone else's stack replaced it and it may still be in use: leaked.
    }
    AltStack(const AltStack&) = delete;
    AltStack& operator=(const AltStack&) = delete;

private:
    void* memory_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace

int CallGuarded(void (*call)(void* argument), void* argument)
{
    static std::once_flag installed;
    std::call_once(installed, InstallHandlers);
    static thread_local AltStack stack;
    static_cast<void>(&stack);

    Landing landing;
    landing.signal = 0;
    Landing* const outer = Inside;
    // savemask 1: the jump out of the handler restores the signal mask, unblocking the signal.
    if (sigsetjmp(landing.jump, 1) == 0) {
        Inside = &landing;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        call(argument);
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    Inside = outer;
    return landing.signal;
}

const char* FaultName(int signal)
{
    switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    default: return "another signal";
    }
}

}  // namespace nimbrelle::gst
