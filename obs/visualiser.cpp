#include "visualiser.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace nimbrelle::obs {

namespace {

// The ring holds a second of sound: the worker takes it every video frame, so it overflows
// only when the worker has been held up that long.
constexpr int RingSeconds = 1;
// A stall longer than this is not drawn frame by frame: after a suspended machine or a worker
// held up for seconds, drawing every silent frame missed would only keep the scene behind the
// clock for longer. Its frames are passed by, as while the source is hidden.
constexpr int MaxCatchUpSeconds = 2;

}  // namespace

int ClampSize(long long value)
{
    return static_cast<int>(std::clamp<long long>(value, MinSize, MaxSize));
}

float ClampGain(double value)
{
    if (std::isnan(value)) return 1.0f;
    return static_cast<float>(std::clamp(value, 0.0, MaxGain));
}

Visualiser::Visualiser(int rate, analysis::FrameRate fps, const Settings& settings, Log log, Housekeeping housekeeping)
    : log_(std::move(log)), housekeeping_(std::move(housekeeping)),
      ring_(static_cast<std::size_t>(rate) * RingSeconds), pending_(settings), fpsNum_(fps.num), fpsDen_(fps.den),
      track_(rate, fps, DefaultPacing(rate)), taken_(2 * ring_.Capacity())
{
    worker_ = std::thread([this] { Run(); });
}

Visualiser::~Visualiser()
{
    Stop();
}

void Visualiser::Stop()
{
    stop_.store(true, std::memory_order_release);
    ticks_.fetch_add(1, std::memory_order_release);
    ticks_.notify_one();
    if (worker_.joinable()) worker_.join();
}

void Visualiser::Configure(const Settings& settings)
{
    std::lock_guard lock(settingsMutex_);
    pending_ = settings;
    changed_ = true;
}

void Visualiser::Tick(uint64_t ns, analysis::FrameRate fps)
{
    tickNs_.store(ns, std::memory_order_relaxed);
    fpsNum_.store(fps.num, std::memory_order_relaxed);
    fpsDen_.store(fps.den, std::memory_order_relaxed);
    ticks_.fetch_add(1, std::memory_order_release);
    ticks_.notify_one();
}

Visualiser::Counts Visualiser::Snapshot() const
{
    return Counts{drawn_.load(std::memory_order_relaxed), paused_.load(std::memory_order_relaxed),
                  silence_.load(std::memory_order_relaxed), skipped_.load(std::memory_order_relaxed),
                  drawNs_.load(std::memory_order_relaxed)};
}

void Visualiser::Run()
{
    uint64_t seen = 0;
    for (;;) {
        ticks_.wait(seen, std::memory_order_acquire);
        seen = ticks_.load(std::memory_order_acquire);
        if (stop_.load(std::memory_order_acquire)) break;
        // Nothing may leave this thread: an exception out of it would end OBS. What can throw
        // is allocation (frame buffers at a new size, a module's copy) and the file system.
        try {
            housekeeping_();
            ApplySettings();
            const analysis::FrameRate fps{fpsNum_.load(std::memory_order_relaxed),
                                          fpsDen_.load(std::memory_order_relaxed)};
            Pass(tickNs_.load(std::memory_order_relaxed), fps);
        } catch (const std::exception& e) {
            Fail(std::string("stopped drawing: ") + e.what());
        }
    }
    module_.reset();
}

void Visualiser::ApplySettings()
{
    {
        std::lock_guard lock(settingsMutex_);
        if (!changed_) return;
        settings_ = pending_;
        changed_ = false;
    }
    if (!analyser_ || analyser_->Gain() != settings_.gain) analyser_ = std::make_unique<analysis::Analyser>(settings_.gain);
    if (!module_ && !failed_) {
        LoadModule();
    } else if (settings_.module != loaded_) {
        LoadModule();
    }
}

void Visualiser::LoadModule()
{
    module_.reset();
    loaded_ = settings_.module;
    failed_ = true;
    if (settings_.module.empty()) {
        log_(true, settings_.moduleError);
        PublishNothing();
        return;
    }
    std::string error;
    module_ = loader::Module::Open(settings_.module, loader::Mode::Private, &error);
    if (!module_ || !module_->Init(&error)) {
        module_.reset();
        log_(true, error);
        PublishNothing();
        return;
    }
    failed_ = false;
    log_(false, "drawing with module '" + settings_.module.string() + "'");
}

void Visualiser::Pass(uint64_t ns, analysis::FrameRate fps)
{
    if (fps.num > 0 && fps.den > 0 && !(fps == track_.Fps())) track_.ChangeFps(fps, next_, ns);
    const bool showing = showing_.load(std::memory_order_relaxed);
    const std::size_t got = ring_.Read(taken_.data(), ring_.Capacity());
    if (!started_ && !showing) {
        // Not yet shown: the scene starts with the first frame shown, from silence, as a render
        // starts at the start of its file; what came before is not on the track.
        track_.Restart(next_, ns);
        return;
    }
    started_ = true;
    const int64_t due = track_.Due(ns);
    const Track::Step step = track_.Take(due, got);
    silence_.fetch_add(step.silence, std::memory_order_relaxed);
    skipped_.fetch_add(static_cast<int64_t>(step.skip), std::memory_order_relaxed);
    Feed(nullptr, step.silence, showing && step.silence <= int64_t{MaxCatchUpSeconds} * track_.Rate());
    Feed(taken_.data() + 2 * step.skip, static_cast<int64_t>(step.keep), showing);
}

void Visualiser::Feed(const float* stereo, int64_t frames, bool draw)
{
    const int64_t end = position_ + frames;
    for (int64_t start = track_.FrameStart(next_); start <= end; start = track_.FrameStart(next_)) {
        const auto part = static_cast<std::size_t>(start - position_);
        if (stereo != nullptr) {
            history_.Push(stereo, part, 2);
            stereo += 2 * part;
        } else {
            history_.PushSilence(part);
        }
        position_ = start;
        if (draw && module_) {
            DrawFrame();
        } else {
            paused_.fetch_add(1, std::memory_order_relaxed);
        }
        ++next_;
    }
    const auto rest = static_cast<std::size_t>(end - position_);
    if (stereo != nullptr) {
        history_.Push(stereo, rest, 2);
    } else {
        history_.PushSilence(rest);
    }
    position_ = end;
}

void Visualiser::DrawFrame()
{
    const auto begun = std::chrono::steady_clock::now();
    analyser_->Analyse(history_, track_.Milliseconds(next_), record_);
    Frame& frame = frames_.Back();
    const int width = settings_.width;
    const int height = settings_.height;
    frame.Resize(width, height);
    frame.background = settings_.background;
    if (!module_->Render(frame.pixels.data(), width, height, width, record_)) {
        log_(true, module_->RefusalText(next_));
        module_.reset();
        failed_ = true;
        PublishNothing();
        return;
    }
    if (frame.background != picture::Background::Blue) {
        picture::ConvertFrame(frame.background, picture::Order::Argb, frame.pixels.data(), width, frame.pixels.data(),
                              width, width, height);
    }
    frames_.Publish();
    drawn_.fetch_add(1, std::memory_order_relaxed);
    drawNs_.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - begun).count(),
                      std::memory_order_relaxed);
}

void Visualiser::Fail(const std::string& line)
{
    module_.reset();
    if (!failed_) log_(true, line);
    failed_ = true;
    PublishNothing();
}

void Visualiser::PublishNothing()
{
    Frame& frame = frames_.Back();
    frame.width = 0;
    frame.height = 0;
    frames_.Publish();
}

}  // namespace nimbrelle::obs
