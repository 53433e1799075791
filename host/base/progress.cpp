#include "base/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace nimbrelle::host {

namespace {

constexpr auto BarInterval = std::chrono::milliseconds(200);
constexpr auto LineInterval = std::chrono::seconds(5);
constexpr int BarWidth = 30;

}  // namespace

Progress::Progress(std::FILE* stream, int64_t totalFrames, bool quiet)
    : stream_(stream), total_(std::max<int64_t>(1, totalFrames)), start_(Clock::now())
{
    if (quiet) {
        style_ = Style::Off;
    } else {
        style_ = isatty(fileno(stream)) != 0 ? Style::Bar : Style::Lines;
    }
    next_ = start_ + (style_ == Style::Bar ? BarInterval : LineInterval);
}

double Progress::Elapsed() const
{
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

std::string Progress::FormatDuration(double seconds)
{
    const auto total = static_cast<long long>(std::isfinite(seconds) ? std::clamp(seconds, 0.0, 1e9) + 0.5 : 0.0);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

void Progress::Update(int64_t done)
{
    if (style_ == Style::Off) return;
    const Clock::time_point now = Clock::now();
    if (now < next_) return;
    next_ = now + (style_ == Style::Bar ? BarInterval : LineInterval);
    Print(done);
}

void Progress::Print(int64_t done)
{
    const double elapsed = Elapsed();
    const double fps = elapsed > 0.0 ? static_cast<double>(done) / elapsed : 0.0;
    const double left = fps > 0.0 ? static_cast<double>(total_ - done) / fps : 0.0;
    const double fraction = std::clamp(static_cast<double>(done) / static_cast<double>(total_), 0.0, 1.0);
    const std::string remaining = FormatDuration(left) + " left";
    if (style_ == Style::Bar) {
        const int filled = static_cast<int>(fraction * BarWidth);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.resize(BarWidth, '.');
        std::fprintf(stream_, "\r[%s] %3d%% %lld/%lld frames, %.1f fps, %s \x1b[K", bar.c_str(),
                     static_cast<int>(fraction * 100.0), static_cast<long long>(done),
                     static_cast<long long>(total_), fps, remaining.c_str());
        drawn_ = true;
    } else {
        std::fprintf(stream_, "nimbrelle: %lld/%lld frames (%d%%), %.1f fps, %s\n", static_cast<long long>(done),
                     static_cast<long long>(total_), static_cast<int>(fraction * 100.0), fps, remaining.c_str());
    }
    std::fflush(stream_);
}

void Progress::Finish()
{
    if (style_ == Style::Bar && drawn_) {
        std::fputs("\r\x1b[K", stream_);
        std::fflush(stream_);
        drawn_ = false;
    }
}

}  // namespace nimbrelle::host
