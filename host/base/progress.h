// Progress on stderr: a redrawn bar with frames per second and time left on a terminal, a
// plain line every few seconds otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace nimbrelle::host {

class Progress {
public:
    enum class Style { Off, Bar, Lines };

    // Style Bar when `stream` is a terminal, Lines otherwise; Off when `quiet`.
    Progress(std::FILE* stream, int64_t totalFrames, bool quiet);

    // Called after each frame with the number of frames done; cheap when nothing is printed.
    void Update(int64_t done);
    // Clears the bar (if any) before a message or at the end.
    void Finish();

    // Seconds since construction.
    double Elapsed() const;

    // "1:05" or "1:02:03".
    static std::string FormatDuration(double seconds);

private:
    using Clock = std::chrono::steady_clock;
    void Print(int64_t done);

    std::FILE* stream_;
    int64_t total_;
    Style style_;
    Clock::time_point start_;
    Clock::time_point next_;
    bool drawn_ = false;
};

}  // namespace nimbrelle::host
