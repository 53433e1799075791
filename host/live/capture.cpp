#include "live/capture.h"

#include <algorithm>
#include <cctype>

#include "base/error.h"

namespace nimbrelle::host {

namespace {

std::string Lower(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string Listed(const std::vector<std::string>& devices)
{
    std::string list;
    for (const std::string& d : devices) list += (list.empty() ? "" : ", ") + Quoted(d);
    return list;
}

}  // namespace

bool IsMonitor(std::string_view device)
{
    return device.starts_with(MonitorPrefix);
}

std::string ChooseDevice(const std::vector<std::string>& devices, std::string_view request)
{
    if (devices.empty()) throw Error("there is no capture device to choose " + Quoted(request) + " from");
    for (const std::string& d : devices) {
        if (d == request) return d;
    }
    const std::string wanted = Lower(request);
    std::vector<std::string> matches;
    for (const std::string& d : devices) {
        if (Lower(d).find(wanted) != std::string::npos) matches.push_back(d);
    }
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

// ---------------------------------------------------------------- CaptureQueue

CaptureQueue::CaptureQueue(std::size_t capacity) : ring_(2 * std::max<std::size_t>(capacity, 1)), capacity_(std::max<std::size_t>(capacity, 1)) {}

void CaptureQueue::Push(const float* stereo, std::size_t frames, LiveClock::time_point arrived)
{
    const std::lock_guard lock(mutex_);
    started_ = true;
    arrived_ = arrived;
    if (frames > capacity_) {  // only the newest fit
        dropped_ += frames - capacity_;
        stereo += 2 * (frames - capacity_);
        frames = capacity_;
    }
    if (size_ + frames > capacity_) {  // make room by dropping the oldest
        const std::size_t drop = size_ + frames - capacity_;
        head_ = (head_ + drop) % capacity_;
        size_ -= drop;
        dropped_ += drop;
    }
    std::size_t tail = (head_ + size_) % capacity_;
    for (std::size_t done = 0; done < frames;) {
        const std::size_t run = std::min(frames - done, capacity_ - tail);
        std::copy_n(stereo + 2 * done, 2 * run, ring_.begin() + static_cast<std::ptrdiff_t>(2 * tail));
        done += run;
        tail = (tail + run) % capacity_;
    }
    size_ += frames;
}

CaptureQueue::Taken CaptureQueue::Take(std::vector<float>& out)
{
    const std::lock_guard lock(mutex_);
    Taken taken{size_, dropped_, arrived_};
    if (out.size() < 2 * size_) out.resize(2 * capacity_);
    for (std::size_t done = 0; done < size_;) {
        const std::size_t from = (head_ + done) % capacity_;
        const std::size_t run = std::min(size_ - done, capacity_ - from);
        std::copy_n(ring_.begin() + static_cast<std::ptrdiff_t>(2 * from), 2 * run,
                    out.begin() + static_cast<std::ptrdiff_t>(2 * done));
        done += run;
    }
    head_ = 0;
    size_ = 0;
    dropped_ = 0;
    return taken;
}

bool CaptureQueue::Started() const
{
    const std::lock_guard lock(mutex_);
    return started_;
}

// ---------------------------------------------------------------- LiveTrack

LiveTrack::LiveTrack(int rate, FrameRate fps, int64_t lead, int64_t stall)
    : rate_(rate), fps_(fps), lead_(std::max<int64_t>(0, lead)), stall_(std::max(stall, lead_))
{
}

LiveTrack::Step LiveTrack::Advance(int64_t frame, std::size_t captured)
{
    const int64_t start = FrameStartSample(frame, rate_, fps_);
    const auto room = static_cast<std::size_t>(std::max<int64_t>(0, start - length_));
    Step step;
    step.keep = std::min(captured, room);
    step.skip = captured - step.keep;
    const int64_t reached = length_ + static_cast<int64_t>(step.keep);
    if (reached < start - stall_) step.silence = start - lead_ - reached;
    length_ = reached + step.silence;
    skipped_ += static_cast<int64_t>(step.skip);
    silence_ += step.silence;
    return step;
}

// ---------------------------------------------------------------- LiveStats

void LiveStats::Frame(LiveClock::time_point at, LiveClock::duration module, LiveClock::duration latency)
{
    if (!since_) since_ = at;
    ++frames_;
    moduleSeconds_ += std::chrono::duration<double>(module).count();
    latencySeconds_ += std::chrono::duration<double>(latency).count();
}

bool LiveStats::Update(LiveClock::time_point now)
{
    if (!since_) {
        since_ = now;
        return false;
    }
    const double elapsed = std::chrono::duration<double>(now - *since_).count();
    if (elapsed < 1.0) return false;
    latest_.fps = frames_ / elapsed;
    latest_.moduleMs = frames_ > 0 ? 1000.0 * moduleSeconds_ / frames_ : 0.0;
    latest_.latencyMs = frames_ > 0 ? 1000.0 * latencySeconds_ / frames_ : 0.0;
    since_ = now;
    frames_ = 0;
    moduleSeconds_ = 0.0;
    latencySeconds_ = 0.0;
    return true;
}

}  // namespace nimbrelle::host
