// What `play` and `live` share of SDL: the library and its subsystems as RAII objects, the
// window with its renderer, the picture the module draws into, the keys, and sound devices.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/geometry.h"

namespace nimbrelle::host {

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

// The video subsystem, a resizable window and its vsynced renderer. Throws SdlFailure.
struct SdlWindow {
    SdlWindow(const std::string& title, FrameGeometry size, bool fullscreen);
    std::unique_ptr<SdlSubsystem> video;
    WindowPtr window;
    RendererPtr renderer;
};

// The window's picture: the pixels the module draws into and the streaming texture that shows
// them. 0x00RRGGBB words are SDL_PIXELFORMAT_RGB888.
class Picture {
public:
    explicit Picture(SDL_Renderer* renderer);

    // The size the module should draw at now: the renderer's output in pixels (more than the
    // window's size on high-density screens), within the largest texture the renderer takes.
    FrameGeometry OutputSize() const;

    // Makes the buffer and the texture `size`, when they are not already.
    void Fit(FrameGeometry size);

    uint32_t* Pixels() { return pixels_.data(); }
    FrameGeometry Size() const { return size_; }

    void Upload();
    // Shows the latest frame, stretched over the window if it has changed size since; `overlay`
    // (when not null) is drawn over its top left corner at its own size.
    void Present(SDL_Texture* overlay = nullptr, FrameGeometry overlaySize = {});

private:
    SDL_Renderer* renderer_;
    TexturePtr texture_;
    std::vector<uint32_t> pixels_;
    FrameGeometry size_;
    int maxWidth_ = 0;
    int maxHeight_ = 0;
};

// An open SDL sound device taking or giving float32 stereo at the rate asked for; SDL converts
// to and from the hardware's own format.
struct SoundDevice {
    SDL_AudioDeviceID id = 0;  // 0: it could not be opened (SDL_GetError says why)
    int bufferFrames = 0;      // the frames the device takes or gives at a time
};

// Opens the playback device `name` (null: the default) or, with `capture`, the capture device
// `name`, at `rate` and `bufferFrames` a buffer; `callback` (with `userdata`) is called on
// SDL's audio thread, or null for a queued playback device. Created paused.
SoundDevice OpenSoundDevice(const char* name, bool capture, int rate, int bufferFrames, SDL_AudioCallback callback,
                            void* userdata);

enum class Command { None, Quit, TogglePause, ToggleFullscreen, SeekBack, SeekForward, ToggleStats };

// The command a key or window event gives: Esc or q quit, space pauses, f toggles fullscreen,
// the arrows seek, s toggles the statistics.
Command CommandFor(const SDL_Event& event);

void ToggleFullscreen(SDL_Window* window);

// True while the window is minimised or has no area to draw into.
bool WindowHidden(SDL_Window* window, FrameGeometry drawable);

// The refresh rate of the display showing `window`, in whole hertz; 0 when unknown.
int DisplayRefreshRate(SDL_Window* window);

}  // namespace nimbrelle::host
