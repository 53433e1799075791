#include "render/render.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "audio/selection.h"
#include "audio/sound_track.h"
#include "audio/source.h"
#include "base/error.h"
#include "base/files.h"
#include "base/module.h"
#include "base/progress.h"
#include "base/signals.h"
#include "base/text.h"
#include "nimbrelle/analysis/route.h"
#include "output/encoding.h"
#include "output/png_sinks.h"
#include "output/video.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

namespace {

// What render and snapshot check and open before drawing, cheapest first: the output name,
// the module and ffmpeg come before any audio is decoded.
struct Prepared {
    OutputTarget target;
    Module module;
    std::unique_ptr<AudioSource> audio;
};

Prepared Prepare(const CommandOptions& options, bool singleFrame)
{
    OutputTarget target = ClassifyOutput(options.output, singleFrame);
    CheckEncoderOptions(target, options);
    const fs::path modulePath = ResolveModulePath(options.module);
    RefuseInputAsOutput(target, {options.audio.value_or(fs::path()), modulePath});
    if (target.kind == OutputKind::Video) RequireFfmpeg(target.path);
    Module module(modulePath);
    return Prepared{std::move(target), std::move(module), OpenAudio(options.audio)};
}

// Initialises the module, then analyses, draws and hands on every frame of the feed's plan,
// in one reused buffer of `size` with packed rows; throws Interrupted on a stop request.
void RenderFrames(analysis::FrameFeed& feed, Module& module, FrameGeometry size, FrameSink& sink, Progress& progress)
{
    std::vector<uint32_t> pixels(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height), 0u);
    module.Init();
    const int64_t frames = feed.Plan().FrameCount();
    for (int64_t n = 0; n < frames; ++n) {
        ThrowIfInterrupted();
        module.Render(pixels.data(), size.width, size.height, size.width, feed.Frame(n), n);
        sink.Write(pixels.data(), n);
        progress.Update(n + 1);
    }
}

// Renders every frame of the plan into the sink and commits it; returns the seconds taken.
// The progress display is closed whether or not the render succeeds.
double RenderAndCommit(AudioSource& audio, Module& module, const analysis::FramePlan& plan, FrameGeometry size,
                       FrameSink& sink, float gain, bool quiet)
{
    analysis::FrameFeed feed(audio, plan, gain);
    Progress progress(stderr, plan.FrameCount(), quiet);
    try {
        RenderFrames(feed, module, size, sink, progress);
        sink.Commit();
    } catch (...) {
        progress.Finish();
        throw;
    }
    progress.Finish();
    return progress.Elapsed();
}

}  // namespace

void RunRender(const RenderOptions& options)
{
    Prepared prepared = Prepare(options, false);
    AudioSource& audio = *prepared.audio;

    // The header's length is only a claim: the plan ends where the decoded audio really does,
    // found before the first frame is drawn so the progress display counts the real frames.
    analysis::FramePlan plan = PlanFrames(audio, options.start, options.duration, options.fps);
    TempPath soundTrack;  // declared first, so the sink (and ffmpeg) goes before it
    std::unique_ptr<FrameSink> sink;
    if (prepared.target.kind == OutputKind::Video) {
        soundTrack = MakeTempFile(fs::temp_directory_path(), "nimbrelle-audio-", SoundTrackExtension);
        const int64_t decoded = WriteSoundTrack(soundTrack.Path(), audio, plan.first, plan.end - plan.first);
        plan = TrimToDecoded(plan, decoded, audio, options.start);
        sink = MakeVideoSink(prepared.target, VideoSettingsFor(options, audio.SampleRate()), soundTrack.Path());
    } else {
        plan = TrimToDecoded(plan, CountDecoded(audio, plan.first, plan.end - plan.first), audio, options.start);
        sink = MakePngSequenceSink(prepared.target, options.size, options.background);
    }

    const double seconds = RenderAndCommit(audio, prepared.module, plan, options.size, *sink, options.gain, options.quiet);
    if (!options.quiet) {
        const double fps = seconds > 0.0 ? static_cast<double>(plan.FrameCount()) / seconds : 0.0;
        std::fprintf(stderr, "nimbrelle: wrote %s: %" PRId64 " frames, %dx%d at %s fps, in %.1f s (%.1f frames/s)\n",
                     options.output.c_str(), plan.FrameCount(), options.size.width, options.size.height,
                     plan.fps.ToString().c_str(), seconds, fps);
    }
}

void RunSnapshot(const SnapshotOptions& options)
{
    Prepared prepared = Prepare(options, true);
    AudioSource& audio = *prepared.audio;

    const int rate = audio.SampleRate();
    int64_t at = SecondsToSamples(options.at, rate);
    // A moment before the end that rounds onto it is the last sample.
    if (options.at * rate < static_cast<double>(audio.Length())) at = std::min(at, audio.Length() - 1);
    // The decoded audio must reach `at`, whatever the header claims (Length() then drops).
    if (at < audio.Length()) CountDecoded(audio, 0, at + 1);
    if (at >= audio.Length()) {
        throw Error("--at " + SecondsText(options.at) + " is at or past the end of " + audio.Name() + " (" +
                    SecondsText(static_cast<double>(audio.Length()) / rate) + " s)");
    }
    // The scene is stateful: every frame before the one holding `at` is drawn too.
    const analysis::FramePlan plan = analysis::PlanUpTo(at, rate, options.fps);
    const int64_t frame = plan.FrameCount() - 1;

    std::unique_ptr<FrameSink> sink = MakeSnapshotSink(prepared.target, options.size, frame, options.background);
    RenderAndCommit(audio, prepared.module, plan, options.size, *sink, options.gain, options.quiet);
    if (!options.quiet) {
        std::fprintf(stderr, "nimbrelle: wrote %s: frame %" PRId64 " (%.3f s), %dx%d\n", options.output.c_str(), frame,
                     static_cast<double>(plan.FrameStart(frame)) / rate, options.size.width, options.size.height);
    }
}

}  // namespace nimbrelle::host
