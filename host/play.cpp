// The window, the audio device and the loop that keeps the picture on the sound. The decisions
// (which frame, where a seek lands, what is being heard) are the classes of play.h; this file
// connects them to SDL.
#include "play.h"

#include <SDL.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "error.h"
#include "module_loader.h"
#include "signals.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double SeekSeconds = 5.0;
constexpr int BytesPerFrame = 2 * static_cast<int>(sizeof(float));  // float32 stereo
constexpr int DeviceBufferFrames = 1024;
constexpr int LongestWaitMs = 10;

// ---------------------------------------------------------------- inputs

// The audio is read twice, at two positions: ahead of the sound for the device, and at the
// frame being drawn for the analysis.
struct AudioReaders {
    std::unique_ptr<AudioSource> played;
    std::unique_ptr<AudioSource> analysed;
};

AudioReaders OpenReaders(const std::optional<fs::path>& path)
{
    std::unique_ptr<AudioSource> played = OpenAudio(path);
    std::unique_ptr<AudioSource> analysed = played->Reopen();
    return {std::move(played), std::move(analysed)};
}

// ---------------------------------------------------------------- SDL resources

// A failed SDL call: what failed, then SDL's own explanation.
class SdlFailure : public std::runtime_error {
public:
    explicit SdlFailure(const std::string& what) : std::runtime_error(what + ": " + SDL_GetError()) {}
};

// SDL as a whole: its signal handlers left out (the host has its own, see signals.h), and
// everything shut down after the last subsystem has gone.
class SdlLibrary {
public:
    SdlLibrary() { SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1"); }
    ~SdlLibrary() { SDL_Quit(); }
    SdlLibrary(const SdlLibrary&) = delete;
    SdlLibrary& operator=(const SdlLibrary&) = delete;
};

class SdlSubsystem {
public:
    SdlSubsystem(Uint32 flags, const char* what) : flags_(flags)
    {
        if (SDL_InitSubSystem(flags) != 0) throw SdlFailure(what);
    }
    ~SdlSubsystem() { SDL_QuitSubSystem(flags_); }
    SdlSubsystem(const SdlSubsystem&) = delete;
    SdlSubsystem& operator=(const SdlSubsystem&) = delete;

private:
    Uint32 flags_;
};

template <auto Destroy>
struct SdlDeleter {
    template <class T>
    void operator()(T* object) const
    {
        Destroy(object);
    }
};
using WindowPtr = std::unique_ptr<SDL_Window, SdlDeleter<SDL_DestroyWindow>>;
using RendererPtr = std::unique_ptr<SDL_Renderer, SdlDeleter<SDL_DestroyRenderer>>;
using TexturePtr = std::unique_ptr<SDL_Texture, SdlDeleter<SDL_DestroyTexture>>;

// The audio subsystem and one output device taking float32 stereo at the source's rate; SDL
// converts to whatever the hardware wants. Created paused.
class AudioOutput {
public:
    explicit AudioOutput(int rate)
    {
        SDL_AudioSpec wanted{};
        wanted.freq = rate;
        wanted.format = AUDIO_F32SYS;
        wanted.channels = 2;
        wanted.samples = DeviceBufferFrames;
        SDL_AudioSpec obtained{};
        id_ = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
        if (id_ == 0) throw SdlFailure("opening the audio device");
        bufferFrames_ = obtained.samples > 0 ? obtained.samples : DeviceBufferFrames;
    }
    ~AudioOutput() { SDL_CloseAudioDevice(id_); }
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    SDL_AudioDeviceID Id() const { return id_; }
    int BufferFrames() const { return bufferFrames_; }

private:
    SdlSubsystem subsystem_{SDL_INIT_AUDIO, "starting SDL's audio"};
    SDL_AudioDeviceID id_ = 0;
    int bufferFrames_ = DeviceBufferFrames;
};

// The pixels the module draws into and the streaming texture that shows them, both the size
// of the window's drawable area. 0x00RRGGBB words are SDL_PIXELFORMAT_RGB888.
class Canvas {
public:
    explicit Canvas(SDL_Renderer* renderer) : renderer_(renderer)
    {
        SDL_RendererInfo info{};
        if (SDL_GetRendererInfo(renderer, &info) == 0) {
            maxWidth_ = info.max_texture_width;
            maxHeight_ = info.max_texture_height;
        }
    }

    // The size the module should draw at now: the renderer's output in pixels (more than the
    // window's size on high-density screens), within the largest texture the renderer takes.
    FrameGeometry OutputSize() const
    {
        int w = 0, h = 0;
        if (SDL_GetRendererOutputSize(renderer_, &w, &h) != 0) return size_;
        if (maxWidth_ > 0) w = std::min(w, maxWidth_);
        if (maxHeight_ > 0) h = std::min(h, maxHeight_);
        return FrameGeometry{w, h};
    }

    // Makes the buffer and the texture `size`, when they are not already.
    void Fit(FrameGeometry size)
    {
        if (texture_ && size.width == size_.width && size.height == size_.height) return;
        texture_.reset(SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING, size.width,
                                         size.height));
        if (!texture_) throw SdlFailure("creating a texture");
        pixels_.assign(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height), 0u);
        size_ = size;
    }

    uint32_t* Pixels() { return pixels_.data(); }
    FrameGeometry Size() const { return size_; }

    void Upload()
    {
        if (SDL_UpdateTexture(texture_.get(), nullptr, pixels_.data(), size_.width * static_cast<int>(sizeof(uint32_t))) != 0) {
            throw SdlFailure("updating the texture");
        }
    }

    // Shows the latest frame, stretched over the window if it has changed size since.
    void Present()
    {
        if (!texture_) return;
        SDL_RenderCopy(renderer_, texture_.get(), nullptr, nullptr);
        SDL_RenderPresent(renderer_);
    }

private:
    SDL_Renderer* renderer_;
    TexturePtr texture_;
    std::vector<uint32_t> pixels_;
    FrameGeometry size_;
    int maxWidth_ = 0;
    int maxHeight_ = 0;
};

// ---------------------------------------------------------------- clocks

// Where the sound is: the absolute sample being heard, with pause and seek.
class PlayClock {
public:
    virtual ~PlayClock() = default;
    virtual int64_t Heard(PlayTime now) = 0;
    // Keeps the device supplied; called on every pass of the loop.
    virtual void Feed() {}
    virtual void Pause(PlayTime now) = 0;
    virtual void Resume(PlayTime now) = 0;
    virtual void Seek(int64_t sample, PlayTime now) = 0;
};

// No audio device: the system clock alone.
class SystemClock final : public PlayClock {
public:
    SystemClock(int rate, int64_t first) : clock_(rate, first, Clock::now()) {}
    int64_t Heard(PlayTime now) override { return clock_.Sample(now); }
    void Pause(PlayTime now) override { clock_.Pause(now); }
    void Resume(PlayTime now) override { clock_.Resume(now); }
    void Seek(int64_t sample, PlayTime now) override { clock_.Seek(sample, now); }

private:
    WallClock clock_;
};

// The audio device's clock: the sound is queued half a second ahead, and the sample being
// heard is the first one the device has not taken yet.
class DeviceClock final : public PlayClock {
public:
    DeviceClock(std::unique_ptr<AudioOutput> output, AudioSource& source, const FramePlan& plan)
        : output_(std::move(output)), source_(source), plan_(plan), smooth_(plan.rate),
          ahead_(plan.rate / 2), block_(static_cast<std::size_t>(output_->BufferFrames()) * 2)
    {
        Seek(plan.first, Clock::now());
        SDL_PauseAudioDevice(output_->Id(), 0);
    }

    int64_t Heard(PlayTime now) override
    {
        if (paused_) return frozen_;
        const int64_t device = queue_.Heard(Pending());
        return smooth_.Update(device, std::min(device + output_->BufferFrames(), queue_.End()), now);
    }

    void Feed() override
    {
        // The source's length drops to the real end of the decoded audio once a read finds it.
        int64_t wanted = queue_.Wanted(Pending(), ahead_, std::min(plan_.end, source_.Length()));
        while (wanted > 0) {
            const std::size_t frames = std::min(static_cast<std::size_t>(wanted), block_.size() / 2);
            const std::size_t got = source_.Read(block_.data(), frames);
            std::fill(block_.begin() + static_cast<std::ptrdiff_t>(2 * got),
                      block_.begin() + static_cast<std::ptrdiff_t>(2 * frames), 0.0f);  // a short file ends in silence
            if (SDL_QueueAudio(output_->Id(), block_.data(), static_cast<Uint32>(frames) * BytesPerFrame) != 0) {
                throw Error("cannot play the audio: " + std::string(SDL_GetError()));
            }
            queue_.Added(static_cast<int64_t>(frames));
            wanted -= static_cast<int64_t>(frames);
        }
    }

    void Pause(PlayTime now) override
    {
        if (paused_) return;
        frozen_ = Heard(now);
        SDL_PauseAudioDevice(output_->Id(), 1);
        paused_ = true;
    }

    void Resume(PlayTime) override
    {
        if (!paused_) return;
        smooth_.Reset(frozen_);
        SDL_PauseAudioDevice(output_->Id(), 0);
        paused_ = false;
    }

    void Seek(int64_t sample, PlayTime) override
    {
        SDL_ClearQueuedAudio(output_->Id());
        source_.Seek(sample);
        queue_.Restart(sample);
        smooth_.Reset(sample);
        frozen_ = sample;
        Feed();
    }

private:
    int64_t Pending() const { return SDL_GetQueuedAudioSize(output_->Id()) / BytesPerFrame; }

    std::unique_ptr<AudioOutput> output_;
    AudioSource& source_;
    FramePlan plan_;
    DeviceQueue queue_;
    SmoothedPosition smooth_;
    int64_t ahead_;
    std::vector<float> block_;
    bool paused_ = false;
    int64_t frozen_ = 0;
};

// The device clock when an audio device opens; otherwise one warning and the system clock.
struct StartedClock {
    std::unique_ptr<PlayClock> clock;
    bool withSound = false;
};

StartedClock StartClock(AudioSource& played, const FramePlan& plan)
{
    try {
        return {std::make_unique<DeviceClock>(std::make_unique<AudioOutput>(plan.rate), played, plan), true};
    } catch (const SdlFailure& e) {
        std::fprintf(stderr, "nimbrelle: warning: cannot play sound (%s); showing the frames without it, timed by the system clock\n",
                     e.what());
        return {std::make_unique<SystemClock>(plan.rate, plan.first), false};
    }
}

// ---------------------------------------------------------------- the loop

enum class Command { None, Quit, TogglePause, ToggleFullscreen, SeekBack, SeekForward };

Command CommandFor(const SDL_Event& event)
{
    if (event.type == SDL_QUIT) return Command::Quit;
    if (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_CLOSE) return Command::Quit;
    if (event.type != SDL_KEYDOWN) return Command::None;
    const SDL_Keycode key = event.key.keysym.sym;
    if (key == SDLK_LEFT) return Command::SeekBack;
    if (key == SDLK_RIGHT) return Command::SeekForward;
    if (event.key.repeat != 0) return Command::None;  // held keys repeat only the seeks
    switch (key) {
    case SDLK_ESCAPE:
    case SDLK_q:
        return Command::Quit;
    case SDLK_SPACE:
        return Command::TogglePause;
    case SDLK_f:
        return Command::ToggleFullscreen;
    default:
        return Command::None;
    }
}

void ToggleFullscreen(SDL_Window* window)
{
    const bool full = (SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN) != 0;
    if (SDL_SetWindowFullscreen(window, full ? 0u : static_cast<Uint32>(SDL_WINDOW_FULLSCREEN_DESKTOP)) == 0) {
        SDL_ShowCursor(full ? SDL_ENABLE : SDL_DISABLE);
    }
}

std::string WindowTitle(const PlayOptions& options)
{
    return "nimbrelle: " + (options.audio ? options.audio->filename().string() : std::string("demo"));
}

// One play in progress: the window's input, the clock and the frames.
class Player {
public:
    Player(SDL_Window* window, SDL_Renderer* renderer, Module& module, AudioReaders& audio, const FramePlan& plan,
           float gain)
        : window_(window), canvas_(renderer), module_(module), audio_(audio), plan_(plan),
          feed_(*audio.analysed, plan, gain),
          chooser_(plan), started_(StartClock(*audio.played, plan)), clock_(*started_.clock)
    {
    }

    // Acts on one event; false when it ends the play.
    bool Handle(const SDL_Event& event)
    {
        const PlayTime now = Clock::now();
        const Command command = CommandFor(event);
        switch (command) {
        case Command::Quit:
            return false;
        case Command::TogglePause:
            if (paused_) {
                clock_.Resume(now);
            } else {
                clock_.Pause(now);
            }
            paused_ = !paused_;
            return true;
        case Command::ToggleFullscreen:
            ToggleFullscreen(window_);
            return true;
        case Command::SeekBack:
        case Command::SeekForward: {
            const double by = command == Command::SeekBack ? -SeekSeconds : SeekSeconds;
            const int64_t target = SeekTarget(plan_, clock_.Heard(now), by);
            if (plan_.Finished(target)) return false;
            clock_.Seek(target, now);
            chooser_.Restart();
            return true;
        }
        case Command::None:
            if (event.type == SDL_WINDOWEVENT) stale_ = true;  // exposed, resized, restored: show it again
            return true;
        }
        return true;
    }

    // Feeds the sound and draws the frame being heard, if not drawn yet; false at the end.
    bool Step()
    {
        clock_.Feed();
        heard_ = clock_.Heard(Clock::now());
        // The play ends where the plan does, or earlier where the decoded audio really ends
        // (either reader finds that out first).
        if (plan_.Finished(heard_) || heard_ >= std::min(audio_.played->Length(), audio_.analysed->Length())) {
            return false;
        }
        // A minimised window has nothing to draw into; its frames count as skipped.
        const FrameGeometry size = canvas_.OutputSize();
        const bool hidden = (SDL_GetWindowFlags(window_) & SDL_WINDOW_MINIMIZED) != 0 || size.width <= 0 ||
                            size.height <= 0;
        if (const std::optional<int64_t> frame = hidden ? std::nullopt : chooser_.Choose(heard_)) {
            canvas_.Fit(size);  // after a resize, the new size
            module_.Render(canvas_.Pixels(), size.width, size.height, size.width, feed_.Frame(*frame), *frame);
            canvas_.Upload();
            stale_ = true;
        }
        if (stale_) {
            canvas_.Present();
            stale_ = false;
        }
        return true;
    }

    // Milliseconds to wait for events before the next Step: until the next frame starts, at
    // most LongestWaitMs so the sound stays fed and Ctrl-C is answered.
    int WaitMs() const
    {
        const std::optional<int64_t> next = chooser_.NextFrameStart();
        if (paused_ || !next) return LongestWaitMs;
        const int64_t ms = (*next - heard_) * 1000 / plan_.rate + 1;
        return static_cast<int>(std::clamp<int64_t>(ms, 1, LongestWaitMs));
    }

    PlaySummary Summary() const { return PlaySummary{chooser_.Drawn(), chooser_.Skipped(), started_.withSound}; }

private:
    SDL_Window* window_;
    Canvas canvas_;
    Module& module_;
    AudioReaders& audio_;
    FramePlan plan_;
    FrameFeed feed_;
    FrameChooser chooser_;
    StartedClock started_;
    PlayClock& clock_;
    int64_t heard_ = 0;
    bool paused_ = false;
    bool stale_ = false;  // the window needs the latest frame shown again
};

}  // namespace

PlaySummary RunPlay(const PlayOptions& options)
{
    // Module and audio first, so their errors come before any window opens.
    Module module(ResolveModulePath(options.module));
    AudioReaders audio = OpenReaders(options.audio);
    const FramePlan plan = PlanFrames(*audio.played, options.start, options.duration, options.fps);

    SdlLibrary sdl;
    std::unique_ptr<SdlSubsystem> video;
    WindowPtr window;
    RendererPtr renderer;
    try {
        video = std::make_unique<SdlSubsystem>(SDL_INIT_VIDEO | SDL_INIT_EVENTS, "starting SDL's video");
        Uint32 flags = SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI;
        if (options.fullscreen) flags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
        window.reset(SDL_CreateWindow(WindowTitle(options).c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                      options.size.width, options.size.height, flags));
        if (!window) throw SdlFailure("creating the window");
        renderer.reset(SDL_CreateRenderer(window.get(), -1, SDL_RENDERER_PRESENTVSYNC));
        if (!renderer) throw SdlFailure("creating a renderer");
    } catch (const SdlFailure& e) {
        throw Error("cannot open a window to play " + audio.played->Name() + " (" + e.what() + ")");
    }
    if (options.fullscreen) SDL_ShowCursor(SDL_DISABLE);

    module.Init();  // once: the scene carries on across pauses, seeks and resizes
    if (!options.quiet) {
        std::fprintf(stderr,
                     "nimbrelle: playing %s with %s (space pause, left/right seek %g s, f fullscreen, q or Esc quit)\n",
                     audio.played->Name().c_str(), module.Name().c_str(), SeekSeconds);
    }
    try {
        Player player(window.get(), renderer.get(), module, audio, plan, options.gain);
        int waitMs = 1;
        for (bool playing = true; playing;) {
            ThrowIfInterrupted();
            SDL_Event event;
            if (SDL_WaitEventTimeout(&event, waitMs) != 0) {
                do {
                    playing = player.Handle(event) && playing;
                } while (SDL_PollEvent(&event) != 0);
            }
            playing = playing && player.Step();
            waitMs = player.WaitMs();
        }
        const PlaySummary summary = player.Summary();
        if (!options.quiet) {
            std::fprintf(stderr, "nimbrelle: played %s: %" PRId64 " frames drawn, %" PRId64 " skipped\n",
                         audio.played->Name().c_str(), summary.drawn, summary.skipped);
        }
        return summary;
    } catch (const SdlFailure& e) {
        throw Error("cannot draw in the window while playing " + audio.played->Name() + " (" + e.what() + ")");
    }
}

}  // namespace nimbrelle::host
