#include "window/sound_server.h"

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/text.h"

namespace nimbrelle::host {

namespace {

struct MainloopFree {
    void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};
struct ContextRelease {
    void operator()(pa_context* c) const
    {
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
struct OperationUnref {
    void operator()(pa_operation* o) const { pa_operation_unref(o); }
};

struct Answer {
    bool received = false;
    SoundServerDefaults defaults;
};

extern "C" void OnServerInfo(pa_context*, const pa_server_info* info, void* userdata)
{
    auto* answer = static_cast<Answer*>(userdata);
    answer->received = true;
    if (info == nullptr) return;
    if (info->default_sink_name != nullptr) answer->defaults.sink = info->default_sink_name;
    if (info->default_source_name != nullptr) answer->defaults.source = info->default_source_name;
}

}  // namespace

std::optional<SoundServerDefaults> AskSoundServer(std::chrono::milliseconds patience)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    const std::unique_ptr<pa_mainloop, MainloopFree> loop(pa_mainloop_new());
    if (!loop) return std::nullopt;
    const std::unique_ptr<pa_context, ContextRelease> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "nimbrelle"));
    if (!context || pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return std::nullopt;
    }
    Answer answer;
    std::unique_ptr<pa_operation, OperationUnref> asking;
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(context.get());
        if (!PA_CONTEXT_IS_GOOD(state)) return std::nullopt;
        if (state == PA_CONTEXT_READY && !asking) {
            asking.reset(pa_context_get_server_info(context.get(), OnServerInfo, &answer));
            if (!asking) return std::nullopt;
        }
        if (answer.received) return answer.defaults;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        // Waits for the server (a stop signal's EINTR only shortens the wait).
        if (pa_mainloop_prepare(loop.get(), static_cast<int>(left.count())) < 0 || pa_mainloop_poll(loop.get()) < 0 ||
            pa_mainloop_dispatch(loop.get()) < 0) {
            return std::nullopt;
        }
    }
}

std::optional<std::string> MissingDefaults(const SoundServerDefaults& defaults)
{
    if (!defaults.sink && !defaults.source) return "the sound server has no output or input (no default sink or source)";
    if (!defaults.sink) return "the sound server has no output (no default sink)";
    if (!defaults.source) return "the sound server has no input (no default source)";
    return std::nullopt;
}

bool SdlMayUsePulseAudio()
{
    const char* chosen = std::getenv("SDL_AUDIODRIVER");
    if (chosen == nullptr || *chosen == '\0') return true;
    // SDL takes a comma-separated list of drivers, in any case.
    return Lower(chosen).find("pulseaudio") != std::string::npos;
}

SoundChatterMuted::SoundChatterMuted()
{
    static const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    std::fflush(stderr);
    saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (saved_ >= 0) dup2(null, STDERR_FILENO);
}

SoundChatterMuted::~SoundChatterMuted()
{
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
}

}  // namespace nimbrelle::host
