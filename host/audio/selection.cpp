#include "audio/selection.h"

#include <algorithm>

#include "base/error.h"
#include "base/text.h"

namespace nimbrelle::host {

analysis::FramePlan PlanFrames(const AudioSource& source, double start, std::optional<double> duration,
                               FrameRate fps)
{
    const int rate = source.SampleRate();
    const int64_t total = source.Length();
    // A start before the end that rounds onto it is the last sample.
    if (start * rate < static_cast<double>(total)) start = std::min(start, static_cast<double>(total - 1) / rate);
    const analysis::SampleSelection selection = analysis::SelectSamples(total, rate, start, duration);
    switch (selection.status) {
    case analysis::SampleSelection::Status::StartPastEnd:
        throw Error("--start " + SecondsText(start) + " is at or past the end of " + source.Name() + " (" +
                    SecondsText(static_cast<double>(total) / rate) + " s)");
    case analysis::SampleSelection::Status::TooShort:
        throw Error("--duration must be longer than one sample");
    case analysis::SampleSelection::Status::Ok:
        break;
    }
    return analysis::FramePlan{selection.first, selection.end, rate, fps};
}

analysis::FramePlan TrimToDecoded(const analysis::FramePlan& plan, int64_t decoded, const AudioSource& source,
                                  double start)
{
    if (decoded <= 0) {
        if (plan.first == 0) throw Error("audio file " + source.Name() + " holds no samples that can be decoded");
        throw Error("--start " + SecondsText(start) + " is at or past the end of " + source.Name() + " (" +
                    SecondsText(static_cast<double>(source.Length()) / plan.rate) + " s of decodable audio)");
    }
    if (plan.first + decoded >= plan.end) return plan;
    return analysis::FramePlan{plan.first, plan.first + decoded, plan.rate, plan.fps};
}

}  // namespace nimbrelle::host
