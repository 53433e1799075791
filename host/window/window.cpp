#include "window/window.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace nimbrelle::host {

SdlWindow::SdlWindow(const std::string& title, FrameGeometry size, bool fullscreen)
{
    video = std::make_unique<SdlSubsystem>(SDL_INIT_VIDEO | SDL_INIT_EVENTS, "starting SDL's video");
    // Without a display SDL falls back to drawing off screen, where nobody sees the window.
    const char* driver = SDL_GetCurrentVideoDriver();
    const char* chosen = std::getenv("SDL_VIDEODRIVER");
    if (driver != nullptr && std::string_view(driver) == "offscreen" && (chosen == nullptr || *chosen == '\0')) {
        SDL_SetError("no display (is DISPLAY or WAYLAND_DISPLAY set?)");
        throw SdlFailure("starting SDL's video");
    }
    Uint32 flags = SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI;
    if (fullscreen) flags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
    window.reset(SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, size.width,
                                  size.height, flags));
    if (!window) throw SdlFailure("creating the window");
    renderer.reset(SDL_CreateRenderer(window.get(), -1, SDL_RENDERER_PRESENTVSYNC));
    if (!renderer) throw SdlFailure("creating a renderer");
    if (fullscreen) SDL_ShowCursor(SDL_DISABLE);
}

Picture::Picture(SDL_Renderer* renderer) : renderer_(renderer)
{
    SDL_RendererInfo info{};
    if (SDL_GetRendererInfo(renderer, &info) == 0) {
        maxWidth_ = info.max_texture_width;
        maxHeight_ = info.max_texture_height;
    }
}

FrameGeometry Picture::OutputSize() const
{
    int w = 0, h = 0;
    if (SDL_GetRendererOutputSize(renderer_, &w, &h) != 0) return size_;
    if (maxWidth_ > 0) w = std::min(w, maxWidth_);
    if (maxHeight_ > 0) h = std::min(h, maxHeight_);
    return FrameGeometry{w, h};
}

void Picture::Fit(FrameGeometry size)
{
    if (texture_ && size.width == size_.width && size.height == size_.height) return;
    texture_.reset(SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING, size.width,
                                     size.height));
    if (!texture_) throw SdlFailure("creating a texture");
    pixels_.assign(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height), 0u);
    size_ = size;
}

void Picture::Upload()
{
    if (SDL_UpdateTexture(texture_.get(), nullptr, pixels_.data(), size_.width * static_cast<int>(sizeof(uint32_t))) !=
        0) {
        throw SdlFailure("updating the texture");
    }
}

void Picture::Present(SDL_Texture* overlay, FrameGeometry overlaySize)
{
    if (!texture_) return;
    SDL_RenderCopy(renderer_, texture_.get(), nullptr, nullptr);
    if (overlay != nullptr) {
        const SDL_Rect where{0, 0, overlaySize.width, overlaySize.height};
        SDL_RenderCopy(renderer_, overlay, nullptr, &where);
    }
    SDL_RenderPresent(renderer_);
}

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
    case SDLK_s:
        return Command::ToggleStats;
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

bool WindowHidden(SDL_Window* window, FrameGeometry drawable)
{
    return (SDL_GetWindowFlags(window) & SDL_WINDOW_MINIMIZED) != 0 || drawable.width <= 0 || drawable.height <= 0;
}

int DisplayRefreshRate(SDL_Window* window)
{
    const int display = SDL_GetWindowDisplayIndex(window);
    SDL_DisplayMode mode{};
    if (display < 0 || SDL_GetCurrentDisplayMode(display, &mode) != 0) return 0;
    return std::max(mode.refresh_rate, 0);
}

SoundDevice OpenSoundDevice(const char* name, bool capture, int rate, int bufferFrames, SDL_AudioCallback callback,
                            void* userdata)
{
    SDL_AudioSpec wanted{};
    wanted.freq = rate;
    wanted.format = AUDIO_F32SYS;
    wanted.channels = 2;
    wanted.samples = static_cast<Uint16>(bufferFrames);
    wanted.callback = callback;
    wanted.userdata = userdata;
    SDL_AudioSpec obtained{};
    SoundDevice device;
    device.id = SDL_OpenAudioDevice(name, capture ? 1 : 0, &wanted, &obtained, 0);
    device.bufferFrames = obtained.samples > 0 ? obtained.samples : bufferFrames;
    return device;
}

}  // namespace nimbrelle::host
