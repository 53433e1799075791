#include "live/stats.h"

namespace nimbrelle::host {

void LiveStats::Frame(Clock::time_point at, Clock::duration module, Clock::duration latency)
{
    if (!since_) since_ = at;
    ++frames_;
    moduleSeconds_ += std::chrono::duration<double>(module).count();
    latencySeconds_ += std::chrono::duration<double>(latency).count();
}

bool LiveStats::Update(Clock::time_point now)
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
