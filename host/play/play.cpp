// The window, the audio device and the loop that keeps the picture on the sound. The decisions
// (which frame, where a seek lands, what is being heard) are the classes of play.h; this file
// connects them to SDL.
#include "play/play.h"

#include <SDL.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/selection.h"
#include "base/error.h"
#include "base/module.h"
#include "window/sound_server.h"
#include "window/window.h"
#include "base/signals.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

namespace {


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

// The audio subsystem and one output device taking float32 stereo at the source's rate; SDL
// converts to whatever the hardware wants. Created paused. A sound server that SDL's
// pulseaudio backend would crash on is a failure like any other.
class AudioOutput {
public:
    explicit AudioOutput(int rate)
    {
        if (SdlMayUsePulseAudio()) {
            if (const std::optional<SoundServerDefaults> defaults = AskSoundServer()) {
                if (const std::optional<std::string> missing = MissingDefaults(*defaults)) {
                    SDL_SetError("%s", missing->c_str());
                    throw SdlFailure("asking the sound server");
                }
            }
        }
        const SoundChatterMuted muted;
        subsystem_ = std::make_unique<SdlSubsystem>(SDL_INIT_AUDIO, "starting SDL's audio");
        const SoundDevice device = OpenSoundDevice(nullptr, false, rate, DeviceBufferFrames, nullptr, nullptr);
        if (device.id == 0) throw SdlFailure("opening the audio device");
        id_ = device.id;
        bufferFrames_ = device.bufferFrames;
    }
    ~AudioOutput() { SDL_CloseAudioDevice(id_); }
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    SDL_AudioDeviceID Id() const { return id_; }
    int BufferFrames() const { return bufferFrames_; }

private:
    std::unique_ptr<SdlSubsystem> subsystem_;
    SDL_AudioDeviceID id_ = 0;
    int bufferFrames_ = DeviceBufferFrames;
};

// ---------------------------------------------------------------- clocks

// Where the sound is: the absolute sample being heard, with pause and seek.
class PlayClock {
public:
    virtual ~PlayClock() = default;
    virtual int64_t Heard(Clock::time_point now) = 0;
    // Keeps the device supplied; called on every pass of the loop.
    virtual void Feed() {}
    virtual void Pause(Clock::time_point now) = 0;
    virtual void Resume(Clock::time_point now) = 0;
    virtual void Seek(int64_t sample, Clock::time_point now) = 0;
};

// No audio device: the system clock alone.
class SystemClock final : public PlayClock {
public:
    SystemClock(int rate, int64_t first) : clock_(rate, first, Clock::now()) {}
    int64_t Heard(Clock::time_point now) override { return clock_.Sample(now); }
    void Pause(Clock::time_point now) override { clock_.Pause(now); }
    void Resume(Clock::time_point now) override { clock_.Resume(now); }
    void Seek(int64_t sample, Clock::time_point now) override { clock_.Seek(sample, now); }

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

    int64_t Heard(Clock::time_point now) override
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

    void Pause(Clock::time_point now) override
    {
        if (paused_) return;
        frozen_ = Heard(now);
        SDL_PauseAudioDevice(output_->Id(), 1);
        paused_ = true;
    }

    void Resume(Clock::time_point) override
    {
        if (!paused_) return;
        smooth_.Reset(frozen_);
        SDL_PauseAudioDevice(output_->Id(), 0);
        paused_ = false;
    }

    void Seek(int64_t sample, Clock::time_point) override
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
std::unique_ptr<PlayClock> StartClock(AudioSource& played, const FramePlan& plan)
{
    try {
        return std::make_unique<DeviceClock>(std::make_unique<AudioOutput>(plan.rate), played, plan);
    } catch (const SdlFailure& e) {
        std::fprintf(stderr, "nimbrelle: warning: cannot play sound (%s); showing the frames without it, timed by the system clock\n",
                     e.what());
        return std::make_unique<SystemClock>(plan.rate, plan.first);
    }
}

// ---------------------------------------------------------------- the loop

std::string WindowTitle(const PlayOptions& options)
{
    return "nimbrelle: " + (options.audio ? options.audio->filename().string() : std::string("demo"));
}

// One play in progress: the window's input, the clock and the frames.
class Player {
public:
    Player(SDL_Window* window, SDL_Renderer* renderer, Module& module, AudioReaders& audio, const FramePlan& plan,
           float gain)
        : window_(window), picture_(renderer), module_(module), audio_(audio), plan_(plan),
          feed_(*audio.analysed, plan, gain),
          chooser_(plan), started_(StartClock(*audio.played, plan)), clock_(*started_)
    {
    }

    // Acts on one event; false when it ends the play.
    bool Handle(const SDL_Event& event)
    {
        const Clock::time_point now = Clock::now();
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
        case Command::ToggleStats:
            return true;
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
        const FrameGeometry size = picture_.OutputSize();
        const bool hidden = WindowHidden(window_, size);
        if (const std::optional<int64_t> frame = hidden ? std::nullopt : chooser_.Choose(heard_)) {
            picture_.Fit(size);  // after a resize, the new size
            module_.Render(picture_.Pixels(), size.width, size.height, size.width, feed_.Frame(*frame), *frame);
            picture_.Upload();
            stale_ = true;
        }
        if (stale_) {
            picture_.Present();
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

    int64_t Drawn() const { return chooser_.Drawn(); }
    int64_t Skipped() const { return chooser_.Skipped(); }

private:
    SDL_Window* window_;
    Picture picture_;
    Module& module_;
    AudioReaders& audio_;
    FramePlan plan_;
    FrameFeed feed_;
    FrameChooser chooser_;
    std::unique_ptr<PlayClock> started_;
    PlayClock& clock_;
    int64_t heard_ = 0;
    bool paused_ = false;
    bool stale_ = false;  // the window needs the latest frame shown again
};

}  // namespace

void RunPlay(const PlayOptions& options)
{
    // Module and audio first, so their errors come before any window opens.
    Module module(ResolveModulePath(options.module));
    AudioReaders audio = OpenReaders(options.audio);
    const FramePlan plan = PlanFrames(*audio.played, options.start, options.duration, options.fps);

    SdlLibrary sdl;
    std::optional<SdlWindow> window;
    try {
        window.emplace(WindowTitle(options), options.size, options.fullscreen);
    } catch (const SdlFailure& e) {
        throw Error("cannot open a window to play " + audio.played->Name() + " (" + e.what() + ")");
    }

    module.Init();  // once: the scene carries on across pauses, seeks and resizes
    if (!options.quiet) {
        std::fprintf(stderr,
                     "nimbrelle: playing %s with %s (space pause, left/right seek %g s, f fullscreen, q or Esc quit)\n",
                     audio.played->Name().c_str(), module.Name().c_str(), SeekSeconds);
    }
    try {
        Player player(window->window.get(), window->renderer.get(), module, audio, plan, options.gain);
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
        if (!options.quiet) {
            std::fprintf(stderr, "nimbrelle: played %s: %" PRId64 " frames drawn, %" PRId64 " skipped\n",
                         audio.played->Name().c_str(), player.Drawn(), player.Skipped());
        }
    } catch (const SdlFailure& e) {
        throw Error("cannot draw in the window while playing " + audio.played->Name() + " (" + e.what() + ")");
    }
}

}  // namespace nimbrelle::host
