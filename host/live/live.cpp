// The capture device, the window (or none, when recording headless) and the loop that draws a
// frame at every frame time from the newest samples captured.
#include "live/live.h"

#include <SDL.h>

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "audio/source.h"
#include "live/capture.h"
#include "base/error.h"
#include "base/module.h"
#include "nimbrelle/analysis/analyser.h"
#include "live/stats_box.h"
#include "window/window.h"
#include "base/signals.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

namespace {

constexpr int CaptureRate = 48000;
constexpr int CaptureBufferFrames = 512;
// The track's samples sit at most this far before their frame's start (the capture's delivery
// jitter), and a gap longer than StallFrames is filled with silence.
constexpr int64_t LeadFrames = 2 * CaptureBufferFrames;
constexpr int64_t StallFrames = CaptureRate / 10;
constexpr int LongestWaitMs = 10;
constexpr int OverlayScale = 3;

// ---------------------------------------------------------------- the sound server

// SDL's audio with monitors listed. Its pulseaudio backend lists monitors (and serves PipeWire
// through pipewire-pulse) where its pipewire backend does not, so it is tried first unless the
// user chose a driver with SDL_AUDIODRIVER.
class CaptureAudio {
public:
    CaptureAudio()
    {
        SDL_SetHint(SDL_HINT_AUDIO_INCLUDE_MONITORS, "1");
        const char* chosen = std::getenv("SDL_AUDIODRIVER");
        if (chosen == nullptr || *chosen == '\0') {
            SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "pulseaudio", SDL_HINT_OVERRIDE);  // over an empty variable
            try {
                subsystem_ = std::make_unique<SdlSubsystem>(SDL_INIT_AUDIO | SDL_INIT_EVENTS, "starting SDL's audio");
                return;
            } catch (const SdlFailure&) {
                SDL_ResetHint(SDL_HINT_AUDIODRIVER);  // no PulseAudio server: whatever SDL finds
            }
        }
        try {
            subsystem_ = std::make_unique<SdlSubsystem>(SDL_INIT_AUDIO | SDL_INIT_EVENTS, "starting SDL's audio");
        } catch (const SdlFailure& e) {
            throw Error(std::string("cannot capture sound: ") + e.what());
        }
    }

    std::string Driver() const
    {
        const char* driver = SDL_GetCurrentAudioDriver();
        return driver != nullptr ? driver : "none";
    }

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
};

// What to capture: a device by name, or (no name) the backend's default input.
struct CaptureChoice {
    std::optional<std::string> name;
    std::string Described() const { return name ? Quoted(*name) : std::string("the default input"); }
};

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

CaptureChoice ChooseCapture(const LiveOptions& options, const CaptureAudio& audio)
{
    const std::vector<std::string> devices = CaptureAudio::CaptureDevices();
    if (options.device) return {ChooseDevice(devices, *options.device)};
    if (options.mic) return {CaptureAudio::DefaultDevice(1)};
    return DefaultMonitor(devices, audio.Driver());
}

// An open capture device feeding a CaptureQueue from SDL's audio thread, float32 stereo at
// CaptureRate whatever the device's own format (SDL converts).
class CaptureDevice {
public:
    CaptureDevice(const CaptureChoice& choice, CaptureQueue& queue) : queue_(queue), described_(choice.Described())
    {
        SDL_AudioSpec wanted{};
        wanted.freq = CaptureRate;
        wanted.format = AUDIO_F32SYS;
        wanted.channels = 2;
        wanted.samples = CaptureBufferFrames;
        wanted.callback = &CaptureDevice::Arrived;
        wanted.userdata = this;
        SDL_AudioSpec obtained{};
        id_ = SDL_OpenAudioDevice(choice.name ? choice.name->c_str() : nullptr, 1, &wanted, &obtained, 0);
        if (id_ == 0) throw Error("cannot open capture device " + described_ + ": " + SDL_GetError());
        bufferFrames_ = obtained.samples > 0 ? obtained.samples : CaptureBufferFrames;
        SDL_PauseAudioDevice(id_, 0);
    }
    ~CaptureDevice() { SDL_CloseAudioDevice(id_); }
    CaptureDevice(const CaptureDevice&) = delete;
    CaptureDevice& operator=(const CaptureDevice&) = delete;

    // False once the device has gone (unplugged, its output removed, the server gone).
    bool Alive() const { return SDL_GetAudioDeviceStatus(id_) != SDL_AUDIO_STOPPED; }
    const std::string& Described() const { return described_; }
    // How long the device gathers samples before handing them over.
    LiveClock::duration Buffer() const
    {
        return std::chrono::duration_cast<LiveClock::duration>(std::chrono::duration<double>(
            static_cast<double>(bufferFrames_) / CaptureRate));
    }

private:
    static void SDLCALL Arrived(void* self, Uint8* stream, int bytes)
    {
        auto* device = static_cast<CaptureDevice*>(self);
        const auto frames = static_cast<std::size_t>(bytes) / (2 * sizeof(float));
        device->queue_.Push(reinterpret_cast<const float*>(stream), frames, LiveClock::now());
    }

    CaptureQueue& queue_;
    std::string described_;
    SDL_AudioDeviceID id_ = 0;
    int bufferFrames_ = CaptureBufferFrames;
};

// After the device in use has gone: the default output's monitor, or with --mic the default
// input. Throws Error when there is nothing else to capture.
std::unique_ptr<CaptureDevice> FallBack(const LiveOptions& options, const CaptureAudio& audio, const std::string& gone,
                                        CaptureQueue& queue)
{
    try {
        const CaptureChoice choice = options.mic ? CaptureChoice{CaptureAudio::DefaultDevice(1)}
                                                 : DefaultMonitor(CaptureAudio::CaptureDevices(), audio.Driver());
        auto device = std::make_unique<CaptureDevice>(choice, queue);
        std::fprintf(stderr, "nimbrelle: warning: capture device %s has gone; capturing %s instead\n", gone.c_str(),
                     device->Described().c_str());
        return device;
    } catch (const Error& e) {
        throw Error("capture device " + gone + " has gone, and there is nothing to fall back to (" + e.what() + ")");
    }
}

// ---------------------------------------------------------------- the recording

// The frames go to a FrameSink and the sound to a sound track file that becomes the video's sound
// track when the recording is committed.
class Recording {
public:
    Recording(const LiveOptions& options, FrameGeometry size) : size_(size)
    {
        const OutputTarget target = ClassifyOutput(options.output, false);
        if (target.kind == OutputKind::Video) {
            sound_ = MakeTempFile(fs::temp_directory_path(), "nimbrelle-live-", SoundTrackExtension);
            soundTrack_.emplace(sound_.Path(), CaptureRate);
            VideoSettings video;
            video.size = size;
            video.fps = options.fps;
            video.crf = options.crf;
            video.preset = options.preset;
            video.sampleRate = CaptureRate;
            sink_ = MakeVideoSinkSoundLast(target, video, sound_.Path());
        } else {
            sink_ = MakePngSequenceSink(target, size);
        }
    }

    FrameGeometry Size() const { return size_; }
    int64_t Frames() const { return frames_; }

    void Sound(const float* stereo, std::size_t frames)
    {
        if (soundTrack_) soundTrack_->Write(stereo, frames);
    }
    void Silence(std::size_t frames)
    {
        if (soundTrack_) soundTrack_->WriteSilence(frames);
    }
    void Frame(const uint32_t* pixels) { sink_->Write(pixels, frames_++); }

    void Commit()
    {
        if (soundTrack_) soundTrack_->Close();
        sink_->Commit();
    }

private:
    FrameGeometry size_;
    TempPath sound_;  // declared first: removed after the sink (and its ffmpeg) has gone
    std::optional<SoundTrackWriter> soundTrack_;
    std::unique_ptr<FrameSink> sink_;
    int64_t frames_ = 0;
};

// Video wants even sides; a recording draws at the nearest even size at or above --size.
FrameGeometry RecordingSize(const LiveOptions& options)
{
    FrameGeometry size = options.size;
    if (ClassifyOutput(options.output, false).kind == OutputKind::Video) {
        size.width += size.width % 2;
        size.height += size.height % 2;
    }
    return size;
}

// ---------------------------------------------------------------- the frame loop

// Frame n is due at n / fps seconds after the start.
LiveClock::time_point FrameTime(LiveClock::time_point start, int64_t frame, FrameRate fps)
{
    const double seconds = static_cast<double>(frame) * static_cast<double>(fps.den) / static_cast<double>(fps.num);
    return start + std::chrono::duration_cast<LiveClock::duration>(std::chrono::duration<double>(seconds));
}

// The newest frame due at `now`.
int64_t FrameDue(LiveClock::time_point start, LiveClock::time_point now, FrameRate fps)
{
    const double seconds = std::chrono::duration<double>(now - start).count();
    if (seconds <= 0.0) return 0;
    return static_cast<int64_t>(seconds * static_cast<double>(fps.num) / static_cast<double>(fps.den));
}

// A line per frame for measuring the latency from outside: the wall-clock time it was shown
// (microseconds since the epoch), its number and its loudest waveform level. Only when
// NIMBRELLE_LIVE_TRACE names a file.
class Trace {
public:
    Trace()
    {
        if (const char* path = std::getenv("NIMBRELLE_LIVE_TRACE"); path != nullptr && *path != '\0') {
            out_.open(path);
            if (!out_) throw Error("cannot write the trace file " + Quoted(path));
        }
    }
    void Frame(int64_t frame, const FrameData& data)
    {
        if (!out_.is_open()) return;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::system_clock::now().time_since_epoch());
        const uint8_t loudest = std::max(*std::max_element(std::begin(data.blockA[0]), std::end(data.blockA[0])),
                                         *std::max_element(std::begin(data.blockA[1]), std::end(data.blockA[1])));
        out_ << us.count() << ' ' << frame << ' ' << static_cast<int>(loudest) << '\n';
    }

private:
    std::ofstream out_;
};

// The window's part: its canvas, the keys and the statistics overlay.
class LiveWindow {
public:
    LiveWindow(SdlWindow& window, bool showStats) : window_(window), canvas_(window.renderer.get()), stats_(showStats) {}

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
        const FrameGeometry drawable = canvas_.OutputSize();
        if (!fixed && WindowHidden(window_.window.get(), drawable)) return nullptr;
        canvas_.Fit(fixed.value_or(drawable));
        return canvas_.Pixels();
    }
    const uint32_t* Latest() { return canvas_.Pixels(); }
    FrameGeometry Size() const { return canvas_.Size(); }
    void Drawn()
    {
        canvas_.Upload();
        stale_ = true;
    }

    void ShowStats(const LiveStats::Figures& f)
    {
        char text[96];
        std::snprintf(text, sizeof text, "%.1f FPS  MODULE %.1f MS  LATENCY %.0f MS", f.fps, f.moduleMs, f.latencyMs);
        overlaySize_ = TextBoxSize(text, OverlayScale);
        overlayPixels_.assign(static_cast<std::size_t>(overlaySize_.width) * static_cast<std::size_t>(overlaySize_.height),
                              0u);
        DrawTextBox(overlayPixels_.data(), overlaySize_, text, OverlayScale);
        overlay_.reset(SDL_CreateTexture(window_.renderer.get(), SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STATIC,
                                         overlaySize_.width, overlaySize_.height));
        if (overlay_) {
            SDL_UpdateTexture(overlay_.get(), nullptr, overlayPixels_.data(),
                              overlaySize_.width * static_cast<int>(sizeof(uint32_t)));
        }
        stale_ = true;
    }

    void Present()
    {
        if (!stale_) return;
        canvas_.Present(stats_ ? overlay_.get() : nullptr, overlaySize_);
        stale_ = false;
    }

private:
    SdlWindow& window_;
    Canvas canvas_;
    bool stats_;
    bool paused_ = false;
    bool stale_ = false;
    TexturePtr overlay_;
    FrameGeometry overlaySize_;
    std::vector<uint32_t> overlayPixels_;
};

class Session {
public:
    Session(const LiveOptions& options, Module& module, const CaptureAudio& audio, std::unique_ptr<CaptureDevice> device,
            CaptureQueue& queue, SdlWindow* window, std::unique_ptr<Recording> recording)
        : options_(options), module_(module), audio_(audio), queue_(queue), device_(std::move(device)),
          recording_(std::move(recording)), analyser_(options.gain),
          track_(CaptureRate, options.fps, LeadFrames, StallFrames), captured_(2 * queue.Capacity())
    {
        if (window != nullptr) window_.emplace(*window, options.stats);
        if (recording_ && window_) {
            window_->Prepare(recording_->Size());  // a frame to record from the start
        } else if (recording_) {
            pixels_.resize(static_cast<std::size_t>(recording_->Size().width) *
                           static_cast<std::size_t>(recording_->Size().height));
        }
        if (options.duration) {
            frames_ = FrameCountFor(SecondsToSamples(*options.duration, CaptureRate), CaptureRate, options.fps);
        }
    }

    LiveSummary Run()
    {
        start_ = LiveClock::now();
        for (;;) {
            ThrowIfInterrupted();
            if (!Events()) break;
            if (!device_->Alive()) device_ = FallBack(options_, audio_, device_->Described(), queue_);
            const LiveClock::time_point now = LiveClock::now();
            if (now < FrameTime(start_, next_, options_.fps)) {
                Wait();
                continue;
            }
            int64_t frame = std::max(FrameDue(start_, now, options_.fps), next_);
            if (recording_ && frame - next_ > MaxRepeats()) {
                // The recording cannot keep up: rather than repeat frames without end, the
                // frames and the sound both leave out the time it fell behind.
                start_ += FrameTime(start_, frame, options_.fps) - FrameTime(start_, next_, options_.fps);
                left_ += frame - next_;
                frame = next_;
            }
            if (frames_) frame = std::min(frame, *frames_ - 1);
            Draw(frame, now);
            next_ = frame + 1;
            if (frames_ && next_ >= *frames_) break;
        }
        if (recording_) {
            // The sound runs to the end of the last frame.
            const int64_t end = FrameStartSample(recording_->Frames(), CaptureRate, options_.fps);
            recording_->Silence(static_cast<std::size_t>(std::max<int64_t>(0, end - track_.Length())));
            recording_->Commit();
        }
        return LiveSummary{drawn_, skipped_, !window_, device_->Described()};
    }

    int64_t Repeated() const { return repeated_; }
    int64_t Recorded() const { return recording_ ? recording_->Frames() : 0; }
    // Frame times left out of a recording that fell behind.
    int64_t LeftOut() const { return left_; }

private:
    // A recording repeats the frame on show for a hiccup of up to 50 ms; each repeat costs the
    // encoder as much as a new frame, so longer delays are left out instead.
    int64_t MaxRepeats() const { return std::max<int64_t>(1, options_.fps.num / (20 * options_.fps.den)); }

    // Handles the waiting events; false when one ends the session.
    bool Events()
    {
        SDL_Event event;
        bool going = true;
        while (SDL_PollEvent(&event) != 0) {
            if (window_) going = window_->Handle(event) && going;
        }
        return going;
    }

    void Wait()
    {
        const auto due = FrameTime(start_, next_, options_.fps);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - LiveClock::now()).count() + 1;
        const int waitMs = static_cast<int>(std::clamp<int64_t>(ms, 1, LongestWaitMs));
        if (window_) {
            if (SDL_WaitEventTimeout(nullptr, waitMs) != 0) return;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        }
    }

    // Takes what was captured into the history and the recording's sound, then draws `frame`.
    void Draw(int64_t frame, LiveClock::time_point now)
    {
        const CaptureQueue::Taken taken = queue_.Take(captured_);
        const LiveTrack::Step step = track_.Advance(frame, taken.frames);
        if (step.silence > 0) {
            history_.PushSilence(static_cast<std::size_t>(step.silence));
            if (recording_) recording_->Silence(static_cast<std::size_t>(step.silence));
        }
        const float* kept = captured_.data() + 2 * step.skip;
        history_.Push(kept, step.keep, 2);
        if (recording_) recording_->Sound(kept, step.keep);
        if (taken.arrived) lastArrival_ = taken.arrived;

        // The frames between the last one and this one: skipped on screen; in a recording, the
        // last frame is what was showing during them.
        const int64_t between = frame - next_;
        skipped_ += between;
        if (recording_) {
            for (int64_t i = 0; i < between; ++i) recording_->Frame(Latest());
            repeated_ += between;
        }

        const bool paused = window_ && window_->Paused();
        uint32_t* pixels = paused ? nullptr : Target();
        if (pixels != nullptr) {
            analyser_.Analyse(history_, SampleToMilliseconds(FrameStartSample(frame, CaptureRate, options_.fps), CaptureRate),
                              data_);
            const FrameGeometry size = window_ ? window_->Size() : recording_->Size();
            const auto before = LiveClock::now();
            module_.Render(pixels, size.width, size.height, size.width, data_, frame);
            const auto after = LiveClock::now();
            if (window_) window_->Drawn();
            ++drawn_;
            trace_.Frame(frame, data_);
            const LiveClock::duration age = lastArrival_ ? after - *lastArrival_ + device_->Buffer() : LiveClock::duration{};
            stats_.Frame(after, after - before, age);
        }
        if (recording_) recording_->Frame(Latest());  // frozen while paused: what the window shows
        if (window_) window_->Present();
        if (stats_.Update(now)) Report();
    }

    // Where the next frame is drawn: the window's canvas, or the recording's own pixels.
    uint32_t* Target()
    {
        if (!window_) return pixels_.data();
        return window_->Prepare(recording_ ? std::optional(recording_->Size()) : std::nullopt);
    }

    // The latest frame drawn (black before the first).
    const uint32_t* Latest() { return window_ ? window_->Latest() : pixels_.data(); }

    void Report()
    {
        const LiveStats::Figures& f = stats_.Latest();
        if (window_) window_->ShowStats(f);
        if (options_.stats) {
            std::fprintf(stderr, "nimbrelle: %.1f frames/s, module %.2f ms a frame, capture latency %.0f ms\n", f.fps,
                         f.moduleMs, f.latencyMs);
        }
    }

    const LiveOptions& options_;
    Module& module_;
    const CaptureAudio& audio_;
    CaptureQueue& queue_;
    std::unique_ptr<CaptureDevice> device_;
    std::unique_ptr<Recording> recording_;
    std::optional<LiveWindow> window_;
    analysis::Analyser analyser_;
    analysis::SampleHistory history_;
    LiveTrack track_;
    LiveStats stats_;
    Trace trace_;
    FrameData data_{};
    std::vector<float> captured_;
    std::vector<uint32_t> pixels_;  // headless: the frame being recorded
    std::optional<LiveClock::time_point> lastArrival_;
    std::optional<int64_t> frames_;
    LiveClock::time_point start_;
    int64_t next_ = 0;
    int64_t drawn_ = 0;
    int64_t skipped_ = 0;
    int64_t repeated_ = 0;
    int64_t left_ = 0;
};

}  // namespace

void ListCaptureDevices(std::FILE* out)
{
    SdlLibrary sdl;
    const CaptureAudio audio;
    const std::vector<std::string> devices = CaptureAudio::CaptureDevices();
    const std::optional<std::string> monitor = MonitorOf(devices, CaptureAudio::DefaultDevice(0));
    const std::optional<std::string> input = CaptureAudio::DefaultDevice(1);
    std::fprintf(out, "capture devices (audio driver %s):\n", audio.Driver().c_str());
    if (devices.empty()) std::fprintf(out, "  (none)\n");
    for (const std::string& d : devices) {
        std::string notes;
        if (monitor && d == *monitor) {
            notes = "monitor of the default output, captured by default";
        } else if (IsMonitor(d)) {
            notes = "monitor";
        }
        if (input && d == *input) notes += std::string(notes.empty() ? "" : "; ") + "default input, --mic";
        std::fprintf(out, "  %s%s\n", d.c_str(), notes.empty() ? "" : ("  (" + notes + ")").c_str());
    }
}

LiveSummary RunLive(const LiveOptions& options)
{
    // Module and output first, so their errors come before any device or window opens.
    Module module(ResolveModulePath(options.module));
    const bool recording = !options.output.empty();
    const FrameGeometry recordSize = recording ? RecordingSize(options) : options.size;

    SdlLibrary sdl;
    const CaptureAudio audio;
    const CaptureChoice choice = ChooseCapture(options, audio);

    std::optional<SdlWindow> window;
    try {
        window.emplace("nimbrelle live: " + choice.Described(), options.size, options.fullscreen);
    } catch (const SdlFailure& e) {
        if (!recording) {
            throw Error(std::string("cannot open a window for live capture (") + e.what() +
                        "); to record without one, use -o FILE --duration SECONDS");
        }
        if (!options.duration) {
            throw Error(std::string("cannot open a window (") + e.what() +
                        "), and recording without one needs --duration");
        }
        if (!options.quiet) std::fprintf(stderr, "nimbrelle: no window (%s); recording without one\n", e.what());
    }

    CaptureQueue queue(2 * CaptureRate);
    auto device = std::make_unique<CaptureDevice>(choice, queue);
    std::unique_ptr<Recording> record = recording ? std::make_unique<Recording>(options, recordSize) : nullptr;
    module.Init();
    if (!options.quiet) {
        std::fprintf(stderr, "nimbrelle: capturing %s (audio driver %s) with %s%s\n", device->Described().c_str(),
                     audio.Driver().c_str(), module.Name().c_str(),
                     window ? " (space freeze, s statistics, f fullscreen, q or Esc quit)" : "");
    }
    try {
        Session session(options, module, audio, std::move(device), queue, window ? &*window : nullptr, std::move(record));
        const LiveSummary summary = session.Run();
        if (!options.quiet) {
            std::fprintf(stderr, "nimbrelle: captured %s: %" PRId64 " frames drawn, %" PRId64 " skipped\n",
                         summary.device.c_str(), summary.drawn, summary.skipped);
            if (recording) {
                std::fprintf(stderr, "nimbrelle: wrote %s: %" PRId64 " frames (%" PRId64 " of them repeated), %dx%d at %s fps\n",
                             options.output.c_str(), session.Recorded(), session.Repeated(),
                             recordSize.width, recordSize.height, options.fps.ToString().c_str());
            }
        }
        if (session.LeftOut() > 0) {
            std::fprintf(stderr,
                         "nimbrelle: warning: the recording fell behind and left out %.1f s; try a smaller --size, a "
                         "lower --fps or a faster --preset\n",
                         static_cast<double>(session.LeftOut()) * static_cast<double>(options.fps.den) /
                             static_cast<double>(options.fps.num));
        }
        return summary;
    } catch (const SdlFailure& e) {
        throw Error(std::string("cannot draw in the window while capturing (") + e.what() + ")");
    }
}

}  // namespace nimbrelle::host

#if defined(__SANITIZE_ADDRESS__)
// libpulse keeps a few small blocks of a stream whose device was removed until the process
// ends; LeakSanitizer builds ignore them.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions()
{
    return "leak:libpulse.so\n";
}
#endif
