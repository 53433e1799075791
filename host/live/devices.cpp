#include "live/devices.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "base/text.h"

namespace nimbrelle::host {

namespace {

std::string Listed(const std::vector<std::string>& devices)
{
    std::string list;
    for (const std::string& d : devices) list += (list.empty() ? "" : ", ") + Quoted(d);
    return list;
}

}  // namespace

CaptureAudio::CaptureAudio()
{
    SDL_SetHint(SDL_HINT_AUDIO_INCLUDE_MONITORS, "1");
    if (SdlMayUsePulseAudio()) {
        if (const std::optional<SoundServerDefaults> defaults = AskSoundServer()) {
            if (const std::optional<std::string> missing = MissingDefaults(*defaults)) {
                throw Error("cannot capture sound: " + *missing);
            }
        } else {
            server_ = false;
        }
    }
    const SoundChatterMuted muted;
    const char* chosen = std::getenv("SDL_AUDIODRIVER");
    if (server_ && (chosen == nullptr || *chosen == '\0')) {
        SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "pulseaudio", SDL_HINT_OVERRIDE);  // over an empty variable
        try {
            subsystem_ = std::make_unique<SdlSubsystem>(SDL_INIT_AUDIO | SDL_INIT_EVENTS, "starting SDL's audio");
            return;
        } catch (const SdlFailure&) {
            SDL_ResetHint(SDL_HINT_AUDIODRIVER);  // a server SDL cannot use: whatever SDL finds
        }
    }
    try {
        subsystem_ = std::make_unique<SdlSubsystem>(SDL_INIT_AUDIO | SDL_INIT_EVENTS, "starting SDL's audio");
    } catch (const SdlFailure& e) {
        throw Explained(Error(std::string("cannot capture sound: ") + e.what()));
    }
}

Error CaptureAudio::Explained(const Error& e) const
{
    if (server_) return e;
    return Error(std::string("no sound server is running (PulseAudio or pipewire-pulse): ") + e.what());
}

bool IsMonitor(std::string_view device)
{
    return device.starts_with(MonitorPrefix);
}

namespace {

// `text` (UTF-8) in lower case for matching names whatever their case: letter by letter by the
// C library's Unicode tables (the C.UTF-8 locale), or ASCII only where that locale is missing
// or `text` is not UTF-8.
std::wstring Folded(std::string_view text)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 != static_cast<locale_t>(nullptr)) {
        const std::string terminated(text);
        const char* from = terminated.c_str();
        std::mbstate_t state{};
        std::wstring wide(terminated.size(), L'\0');
        const locale_t previous = uselocale(utf8);
        const std::size_t length = std::mbsrtowcs(wide.data(), &from, wide.size(), &state);
        uselocale(previous);
        if (length != static_cast<std::size_t>(-1)) {
            wide.resize(length);
            for (wchar_t& c : wide) c = static_cast<wchar_t>(towlower_l(static_cast<wint_t>(c), utf8));
            return wide;
        }
    }
    const std::string lower = Lower(text);
    return std::wstring(lower.begin(), lower.end());
}

}  // namespace

std::string ChooseDevice(const std::vector<std::string>& devices, std::string_view request)
{
    if (request.empty()) throw Error("--device needs a capture device's name (--list-devices shows them)");
    if (devices.empty()) throw Error("there is no capture device to choose " + Quoted(request) + " from");
    for (const std::string& d : devices) {
        if (d == request) return d;
    }
    const std::wstring wanted = Folded(request);
    std::vector<std::string> same, matches;
    for (const std::string& d : devices) {
        const std::wstring name = Folded(d);
        if (name == wanted) same.push_back(d);
        if (name.find(wanted) != std::wstring::npos) matches.push_back(d);
    }
    if (same.size() == 1) return same.front();  // the whole name, in another case
    if (matches.size() == 1) return matches.front();
    if (matches.empty()) {
        throw Error("no capture device is called " + Quoted(request) + "; there are " + Listed(devices));
    }
    throw Error("capture device " + Quoted(request) + " is ambiguous: it could be " + Listed(matches));
}

std::optional<std::string> MonitorOf(const std::vector<std::string>& devices, const std::optional<std::string>& output)
{
    if (output) {
        const std::string wanted = std::string(MonitorPrefix) + *output;
        if (std::find(devices.begin(), devices.end(), wanted) != devices.end()) return wanted;
        return std::nullopt;
    }
    const auto monitors = std::count_if(devices.begin(), devices.end(), [](const std::string& d) { return IsMonitor(d); });
    if (monitors != 1) return std::nullopt;
    return *std::find_if(devices.begin(), devices.end(), [](const std::string& d) { return IsMonitor(d); });
}

namespace {

CaptureChoice DefaultMonitor(const std::vector<std::string>& devices, const std::string& driver)
{
    const std::optional<std::string> output = CaptureAudio::DefaultDevice(0);
    if (const std::optional<std::string> monitor = MonitorOf(devices, output)) return {monitor};
    std::string message = "cannot find the monitor of the default output";
    if (output) message += " " + Quoted(*output);
    message += " (audio driver " + driver + "); ";
    message += devices.empty() ? std::string("there is no capture device at all")
                               : "name a capture device with --device (see --list-devices) or use --mic";
    throw Error(message);
}

// The default input for --mic. A server without a microphone makes an output's monitor its
// default input; capturing that would record what is playing under the name of a microphone.
CaptureChoice DefaultInput()
{
    const std::optional<std::string> input = CaptureAudio::DefaultDevice(1);
    if (input && IsMonitor(*input)) {
        throw Error("--mic: there is no microphone: the default input is " + Quoted(*input) +
                    ", what an output plays (leave out --mic to capture that, or name a device with --device)");
    }
    return {input};
}

}  // namespace

CaptureChoice ChooseCapture(const std::optional<std::string>& device, bool mic, const CaptureAudio& audio)
{
    const std::vector<std::string> devices = CaptureAudio::CaptureDevices();
    if (device) return {ChooseDevice(devices, *device)};
    if (mic) return DefaultInput();
    return DefaultMonitor(devices, audio.Driver());
}

std::unique_ptr<CaptureDevice> FallBack(bool mic, const CaptureAudio& audio, const std::string& gone, CaptureQueue& queue)
{
    if (audio.Driver() == "pulseaudio" && !AskSoundServer()) {
        throw Error("capture device " + gone + " has gone: the sound server has stopped");
    }
    try {
        const CaptureChoice choice =
            mic ? DefaultInput() : DefaultMonitor(CaptureAudio::CaptureDevices(), audio.Driver());
        auto device = std::make_unique<CaptureDevice>(choice, queue);
        std::fprintf(stderr, "nimbrelle: warning: capture device %s has gone; capturing %s instead\n", gone.c_str(),
                     device->Described().c_str());
        return device;
    } catch (const Error& e) {
        throw Error("capture device " + gone + " has gone, and there is nothing to fall back to (" + e.what() + ")");
    }
}

}  // namespace nimbrelle::host
