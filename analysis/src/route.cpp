#include "nimbrelle/analysis/route.h"

#include <algorithm>

namespace nimbrelle::analysis {

FrameFeed::FrameFeed(AudioSource& source, const FramePlan& plan, float gain)
    : source_(source), plan_(plan), analyser_(gain)
{
}

const FrameData& FrameFeed::Frame(int64_t n)
{
    const int64_t sample = plan_.FrameStart(n);
    // Reading on is cheaper than re-reading the window, up to about a second ahead.
    if (!history_ || sample < history_->Position() || sample - history_->Position() > plan_.rate) {
        history_.emplace(source_, sample);
    } else {
        history_->AdvanceTo(sample);
    }
    analyser_.Analyse(history_->History(), plan_.Milliseconds(n), data_);
    return data_;
}

void AnalyseFrame(Analyser& analyser, std::span<const float> interleaved, int channels, int rate, FrameRate fps,
                  int64_t frame, FrameData& out)
{
    const auto stride = static_cast<std::size_t>(std::max(1, channels));
    const auto length = static_cast<int64_t>(interleaved.size() / stride);
    const int64_t sample = FrameStartSample(frame, rate, fps);
    const int64_t from = std::clamp<int64_t>(sample - WindowSize, 0, length);
    const int64_t to = std::clamp<int64_t>(sample, 0, length);
    SampleHistory history;
    history.Push(interleaved.data() + static_cast<std::size_t>(from) * stride, static_cast<std::size_t>(to - from),
                 channels);
    history.PushSilence(static_cast<std::size_t>(sample - std::max(to, sample - WindowSize)));  // past the end
    analyser.Analyse(history, SampleToMilliseconds(sample, rate), out);
}

}  // namespace nimbrelle::analysis
