// The sound server's capture devices: which one `live` captures, and the open device feeding a
// CaptureQueue. Monitors (what an output plays, offered as an input) are what `live` captures
// by default.
#pragma once

#include <SDL.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/timing.h"
#include "live/capture.h"
#include "window/sound_server.h"
#include "window/window.h"

namespace nimbrelle::host {

// Captured sound is float32 stereo at this rate, whatever the device's own format (SDL
// converts), a device buffer of CaptureBufferFrames at a time.
inline constexpr int CaptureRate = 48000;
inline constexpr int CaptureBufferFrames = 512;

// Monitors (what an output plays, offered as an input) are listed by the sound server as
// "Monitor of <output>".
inline constexpr std::string_view MonitorPrefix = "Monitor of ";
bool IsMonitor(std::string_view device);

// The device among `devices` that `request` names: the one spelled exactly so, else the only
// one so named ignoring case, else the only one whose name holds it ignoring case (so a whole
// name wins over a longer one it begins). Throws Error saying why none was chosen, or that the
// request is empty.
std::string ChooseDevice(const std::vector<std::string>& devices, std::string_view request);

// The monitor of the output `output`; without an output name, the only monitor there is.
std::optional<std::string> MonitorOf(const std::vector<std::string>& devices, const std::optional<std::string>& output);

// SDL's audio with monitors listed. Its pulseaudio backend lists monitors (and serves PipeWire
// through pipewire-pulse) where its pipewire backend does not, so it is tried first unless the
// user chose a driver with SDL_AUDIODRIVER. The server is asked first: one without an output or
// an input is an error here, not SDL's crash; when none answers, SDL chooses another driver.
class CaptureAudio {
public:
    CaptureAudio();

    std::string Driver() const
    {
        const char* driver = SDL_GetCurrentAudioDriver();
        return driver != nullptr ? driver : "none";
    }

    // False when no sound server answered, and SDL's audio runs on some other driver.
    bool ServerRunning() const { return server_; }
    // `e`, saying first that no sound server is running when none answered.
    Error Explained(const Error& e) const;

    static std::vector<std::string> CaptureDevices()
    {
        std::vector<std::string> names;
        const int count = SDL_GetNumAudioDevices(1);
        for (int i = 0; i < count; ++i) {
            if (const char* name = SDL_GetAudioDeviceName(i, 1)) names.emplace_back(name);
        }
        return names;
    }

    // The name of the default output (iscapture 0) or input (1), when the backend knows it.
    static std::optional<std::string> DefaultDevice(int iscapture)
    {
        char* name = nullptr;
        SDL_AudioSpec spec{};
        if (SDL_GetDefaultAudioInfo(&name, &spec, iscapture) != 0 || name == nullptr) return std::nullopt;
        std::string result = name;
        SDL_free(name);
        return result;
    }

private:
    std::unique_ptr<SdlSubsystem> subsystem_;
    bool server_ = true;
};

// What to capture: a device by name, or (no name) the backend's default input.
struct CaptureChoice {
    std::optional<std::string> name;
    std::string Described() const { return name ? Quoted(*name) : std::string("the default input"); }
};

// An open capture device feeding a CaptureQueue from SDL's audio thread, float32 stereo at
// CaptureRate whatever the device's own format (SDL converts).
class CaptureDevice {
public:
    CaptureDevice(const CaptureChoice& choice, CaptureQueue& queue) : queue_(queue), described_(choice.Described())
    {
        SoundDevice opened;
        {
            const SoundChatterMuted muted;
            opened = OpenSoundDevice(choice.name ? choice.name->c_str() : nullptr, true, CaptureRate,
                                     CaptureBufferFrames, &CaptureDevice::Arrived, this);
        }
        id_ = opened.id;
        if (id_ == 0) throw Error("cannot open capture device " + described_ + ": " + SDL_GetError());
        bufferFrames_ = opened.bufferFrames;
        SDL_PauseAudioDevice(id_, 0);
    }
    ~CaptureDevice() { SDL_CloseAudioDevice(id_); }
    CaptureDevice(const CaptureDevice&) = delete;
    CaptureDevice& operator=(const CaptureDevice&) = delete;

    // False once the device has gone (unplugged, its output removed, the server gone).
    bool Alive() const { return SDL_GetAudioDeviceStatus(id_) != SDL_AUDIO_STOPPED; }
    const std::string& Described() const { return described_; }
    // How long the device gathers samples before handing them over.
    Clock::duration Buffer() const
    {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
            static_cast<double>(bufferFrames_) / CaptureRate));
    }

private:
    static void SDLCALL Arrived(void* self, Uint8* stream, int bytes)
    {
        auto* device = static_cast<CaptureDevice*>(self);
        const auto frames = static_cast<std::size_t>(bytes) / (2 * sizeof(float));
        device->queue_.Push(reinterpret_cast<const float*>(stream), frames, Clock::now());
    }

    CaptureQueue& queue_;
    std::string described_;
    SDL_AudioDeviceID id_ = 0;
    int bufferFrames_ = CaptureBufferFrames;
};

// What `live` captures: the device --device names, the default input with --mic (never a
// monitor), else the default output's monitor. Throws Error saying why there is none.
CaptureChoice ChooseCapture(const std::optional<std::string>& device, bool mic, const CaptureAudio& audio);

// After the device in use has gone: the default output's monitor, or with --mic the default
// input (not a monitor). Throws Error when there is nothing else to capture.
std::unique_ptr<CaptureDevice> FallBack(bool mic, const CaptureAudio& audio, const std::string& gone, CaptureQueue& queue);

}  // namespace nimbrelle::host
