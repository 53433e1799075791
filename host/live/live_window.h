// The window of `nimbrelle live`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/geometry.h"
#include "base/timing.h"
#include "live/stats.h"
#include "live/stats_box.h"
#include "window/window.h"

namespace nimbrelle::host {

inline constexpr int StatsBoxScale = 3;

// The warning for a window asked for more frames a second than its display shows
// (`refreshHz`, 0 when unknown), or nullopt. SDL reports whole hertz, a 59.94 Hz display as 59,
// so a rate less than 5 % above is taken as shown.
inline std::optional<std::string> WindowRateWarning(FrameRate fps, int refreshHz)
{
    if (refreshHz <= 0) return std::nullopt;
    const double asked = static_cast<double>(fps.num) / static_cast<double>(fps.den);
    if (asked <= 1.05 * refreshHz) return std::nullopt;
    return "--fps " + fps.ToString() + " is more than the display's " + std::to_string(refreshHz) +
           " Hz: the window shows at most " + std::to_string(refreshHz) +
           " frames a second and skips the rest (a recording repeats the frame on show instead)";
}

// The window's part of a live session: its picture, the keys and the statistics box.
class LiveWindow {
public:
    LiveWindow(SdlWindow& window, bool showStats) : window_(window), picture_(window.renderer.get()), stats_(showStats) {}

    // Acts on one event; false when it ends the session.
    bool Handle(const SDL_Event& event)
    {
        switch (CommandFor(event)) {
        case Command::Quit:
            return false;
        case Command::TogglePause:
            paused_ = !paused_;
            break;
        case Command::ToggleFullscreen:
            ToggleFullscreen(window_.window.get());
            break;
        case Command::ToggleStats:
            stats_ = !stats_;
            break;
        case Command::SeekBack:
        case Command::SeekForward:  // there is nothing to seek in live sound
            break;
        case Command::None:
            break;
        }
        stale_ = true;
        return true;
    }

    bool Paused() const { return paused_; }

    // The pixels to draw the next frame into: `fixed` in size when recording (the window
    // stretches it), else the window's drawable size. Nothing while the window is minimised,
    // unless the frame is recorded.
    uint32_t* Prepare(std::optional<FrameGeometry> fixed)
    {
        const FrameGeometry drawable = picture_.OutputSize();
        if (!fixed && WindowHidden(window_.window.get(), drawable)) return nullptr;
        picture_.Fit(fixed.value_or(drawable));
        return picture_.Pixels();
    }
    const uint32_t* Latest() { return picture_.Pixels(); }
    FrameGeometry Size() const { return picture_.Size(); }
    void Drawn()
    {
        picture_.Upload();
        stale_ = true;
    }

    void ShowStats(const LiveStats::Figures& f)
    {
        char text[96];
        std::snprintf(text, sizeof text, "%.1f FPS  MODULE %.1f MS  LATENCY %.0f MS", f.fps, f.moduleMs, f.latencyMs);
        boxSize_ = TextBoxSize(text, StatsBoxScale);
        boxPixels_.assign(static_cast<std::size_t>(boxSize_.width) * static_cast<std::size_t>(boxSize_.height),
                              0u);
        DrawTextBox(boxPixels_.data(), boxSize_, text, StatsBoxScale);
        box_.reset(SDL_CreateTexture(window_.renderer.get(), SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STATIC,
                                         boxSize_.width, boxSize_.height));
        if (box_) {
            SDL_UpdateTexture(box_.get(), nullptr, boxPixels_.data(),
                              boxSize_.width * static_cast<int>(sizeof(uint32_t)));
        }
        stale_ = true;
    }

    void Present()
    {
        if (!stale_) return;
        picture_.Present(stats_ ? box_.get() : nullptr, boxSize_);
        stale_ = false;
    }

private:
    SdlWindow& window_;
    Picture picture_;
    bool stats_;
    bool paused_ = false;
    bool stale_ = false;
    TexturePtr box_;
    FrameGeometry boxSize_;
    std::vector<uint32_t> boxPixels_;
};

}  // namespace nimbrelle::host
