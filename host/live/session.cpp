#include "live/session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/signals.h"
#include "live/live_window.h"
#include "live/stats.h"
#include "live/trace.h"
#include "nimbrelle/analysis/analyser.h"

namespace nimbrelle::host {

namespace {

// The track ends at its frame's start, or at most LeadFrames before it beyond the capture's
// delivery jitter (a block of CaptureBufferFrames): a lag or surplus that lasts SettleFrames is
// closed, and a gap or burst longer than StallFrames at once (see LiveTrack).
constexpr int64_t LeadFrames = CaptureBufferFrames / 4;
constexpr int64_t StallFrames = CaptureRate / 10;
constexpr int64_t SettleFrames = CaptureRate / 4;
constexpr int LongestWaitMs = 10;

// Frame n is due at n / fps seconds after the start.
Clock::time_point FrameTime(Clock::time_point start, int64_t frame, FrameRate fps)
{
    const double seconds = static_cast<double>(frame) * static_cast<double>(fps.den) / static_cast<double>(fps.num);
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The newest frame due at `now`.
int64_t FrameDue(Clock::time_point start, Clock::time_point now, FrameRate fps)
{
    const double seconds = std::chrono::duration<double>(now - start).count();
    if (seconds <= 0.0) return 0;
    return static_cast<int64_t>(seconds * static_cast<double>(fps.num) / static_cast<double>(fps.den));
}

class Session {
public:
    Session(const LiveOptions& options, Module& module, const CaptureAudio& audio, std::unique_ptr<CaptureDevice> device,
            CaptureQueue& queue, SdlWindow* window, std::unique_ptr<Recording> recording)
        : options_(options), module_(module), audio_(audio), queue_(queue), device_(std::move(device)),
          recording_(std::move(recording)), analyser_(options.gain),
          track_(CaptureRate, options.fps, LeadFrames, StallFrames, SettleFrames), captured_(2 * queue.Capacity())
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

    void Run()
    {
        // Stopping is how a recording ends: a stop signal finishes it, and only a second one
        // abandons it.
        std::optional<StopFinishes> finishing;
        if (recording_) finishing.emplace();
        // Frame 0 shows no sound whatever has arrived. Drawn and handed to the recording before
        // the frame clock starts, it takes the module's first frame and the encoder's start-up
        // out of the frames' time: otherwise every recording would begin by falling behind.
        start_ = Clock::now();
        Draw(0, start_);
        next_ = 1;
        if (recording_) recording_->WaitUntilTaken();
        start_ = Clock::now();
        std::optional<std::string> lost;  // why capturing ended early, the recording kept
        while (!frames_ || next_ < *frames_) {
            ThrowIfInterrupted();
            if (recording_ && StopRequested()) {
                stopped_ = true;
                break;
            }
            if (!Events()) break;
            if (!device_->Alive()) {
                try {
                    device_ = FallBack(options_.mic, audio_, device_->Described(), queue_);
                } catch (const Error& e) {
                    if (!recording_) throw;
                    lost = e.what();
                    break;
                }
            }
            const Clock::time_point now = Clock::now();
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
        }
        if (!recording_) return;
        const double seconds = static_cast<double>(recording_->Frames()) * static_cast<double>(options_.fps.den) /
                               static_cast<double>(options_.fps.num);
        if (stopped_) {
            std::fprintf(stderr, "nimbrelle: stopped; finishing the recording of %.1f s (stop again to abandon it)\n",
                         seconds);
        }
        // The sound runs to the end of the last frame.
        const int64_t end = FrameStartSample(recording_->Frames(), CaptureRate, options_.fps);
        recording_->Silence(static_cast<std::size_t>(std::max<int64_t>(0, end - track_.Length())));
        recording_->Commit();
        if (lost) {
            char kept[64];
            std::snprintf(kept, sizeof kept, "%.1f s", seconds);
            throw Error(*lost + "; the recording of the " + kept + " before is kept in " + Quoted(options_.output));
        }
    }

    SessionCounts Counts() const
    {
        return SessionCounts{drawn_, skipped_, repeated_, recording_ ? recording_->Frames() : 0, left_,
                             device_->Described()};
    }

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
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count() + 1;
        const int waitMs = static_cast<int>(std::clamp<int64_t>(ms, 1, LongestWaitMs));
        if (window_) {
            if (SDL_WaitEventTimeout(nullptr, waitMs) != 0) return;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        }
    }

    // Takes what was captured up to the frame's start into the history and the recording's
    // sound, then draws `frame`.
    void Draw(int64_t frame, Clock::time_point now)
    {
        LiveTrack::Step step;
        const CaptureQueue::Taken taken = queue_.Take(captured_, [&](std::size_t queued) {
            step = track_.Advance(frame, queued);
            return CaptureQueue::Portion{step.skip, step.keep};
        });
        if (step.silence > 0) {
            history_.PushSilence(static_cast<std::size_t>(step.silence));
            if (recording_) recording_->Silence(static_cast<std::size_t>(step.silence));
        }
        history_.Push(captured_.data(), taken.frames, 2);
        if (recording_) recording_->Sound(captured_.data(), taken.frames);
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
            const auto before = Clock::now();
            module_.Render(pixels, size.width, size.height, size.width, data_, frame);
            const auto after = Clock::now();
            if (window_) window_->Drawn();
            ++drawn_;
            trace_.Frame(frame, data_);
            const Clock::duration age = lastArrival_ ? after - *lastArrival_ + device_->Buffer() : Clock::duration{};
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
    std::optional<Clock::time_point> lastArrival_;
    std::optional<int64_t> frames_;
    Clock::time_point start_;
    int64_t next_ = 0;
    int64_t drawn_ = 0;
    int64_t skipped_ = 0;
    int64_t repeated_ = 0;
    int64_t left_ = 0;
    bool stopped_ = false;
};

}  // namespace

SessionCounts RunSession(const LiveOptions& options, Module& module, const CaptureAudio& audio,
                         std::unique_ptr<CaptureDevice> device, CaptureQueue& queue, SdlWindow* window,
                         std::unique_ptr<Recording> recording)
{
    Session session(options, module, audio, std::move(device), queue, window, std::move(recording));
    session.Run();
    return session.Counts();
}

}  // namespace nimbrelle::host
