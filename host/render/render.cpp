#include "render/render.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "base/signals.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

void RenderFrames(analysis::FrameFeed& feed, Module& module, const CanvasSizes& canvas, FrameSink& sink,
                  Progress& progress)
{
    const FrameGeometry visible = canvas.visible;
    const auto stride = static_cast<std::size_t>(canvas.padded.width);
    std::vector<uint32_t> pixels(stride * static_cast<std::size_t>(canvas.padded.height), 0u);
    const bool padRight = canvas.padded.width > visible.width;
    const bool padBottom = canvas.padded.height > visible.height;

    module.Init();
    const int64_t frames = feed.Plan().FrameCount();
    for (int64_t n = 0; n < frames; ++n) {
        ThrowIfInterrupted();
        module.Render(pixels.data(), visible.width, visible.height, static_cast<int32_t>(stride), feed.Frame(n), n);
        if (padRight) {
            for (std::size_t y = 0; y < static_cast<std::size_t>(visible.height); ++y) {
                uint32_t* row = pixels.data() + y * stride;
                std::fill(row + visible.width, row + stride, row[visible.width - 1]);
            }
        }
        for (int y = visible.height; padBottom && y < canvas.padded.height; ++y) {
            std::copy_n(pixels.data() + static_cast<std::size_t>(visible.height - 1) * stride, stride,
                        pixels.data() + static_cast<std::size_t>(y) * stride);
        }
        sink.Write(pixels.data(), n);
        progress.Update(n + 1);
    }
}

namespace {

void ReportDone(const std::string& output, const analysis::FramePlan& plan, FrameGeometry size, double seconds,
                bool quiet)
{
    if (quiet) return;
    const double fps = seconds > 0.0 ? static_cast<double>(plan.FrameCount()) / seconds : 0.0;
    std::fprintf(stderr, "nimbrelle: wrote %s: %" PRId64 " frames, %dx%d at %s fps, in %.1f s (%.1f frames/s)\n",
                 output.c_str(), plan.FrameCount(), size.width, size.height, plan.fps.ToString().c_str(), seconds,
                 fps);
}

}  // namespace

namespace {

// Renders every frame of the plan into the sink and commits it; returns the seconds taken.
// The progress display is closed whether or not the render succeeds.
double RenderAndCommit(AudioSource& audio, Module& module, const analysis::FramePlan& plan, const CanvasSizes& canvas,
                       FrameSink& sink, float gain, bool quiet)
{
    analysis::FrameFeed feed(audio, plan, gain);
    Progress progress(stderr, plan.FrameCount(), quiet);
    try {
        RenderFrames(feed, module, canvas, sink, progress);
        sink.Commit();
    } catch (...) {
        progress.Finish();
        throw;
    }
    progress.Finish();
    return progress.Elapsed();
}

}  // namespace

RenderSummary RunRender(const RenderOptions& options)
{
    // Cheap checks first: the output name and the module, before any audio is decoded.
    const OutputTarget target = ClassifyOutput(options.output, false);
    const fs::path modulePath = ResolveModulePath(options.module);
    RefuseInputAsOutput(target, {options.audio.value_or(fs::path()), modulePath});
    Module module(modulePath);
    std::unique_ptr<AudioSource> audio = OpenAudio(options.audio);

    // The header's length is only a claim: the plan ends where the decoded audio really does,
    // found before the first frame is drawn so the progress display counts the real frames.
    analysis::FramePlan plan = PlanFrames(*audio, options.start, options.duration, options.fps);
    CanvasSizes canvas{options.size, options.size};

    TempPath soundTrack;  // declared first, so the sink (and ffmpeg) goes before it
    std::unique_ptr<FrameSink> sink;
    if (target.kind == OutputKind::Video) {
        // 4:2:0 video needs even sides: an odd side gains one pixel, a copy of its last row
        // or column.
        canvas.padded.width += canvas.padded.width % 2;
        canvas.padded.height += canvas.padded.height % 2;
        if (!FindInPath("ffmpeg")) {
            throw Error("cannot write " + Quoted(options.output) +
                        ": the ffmpeg program was not found in PATH (install ffmpeg, or render PNG frames instead)");
        }
        soundTrack = MakeTempFile(fs::temp_directory_path(), "nimbrelle-audio-", SoundTrackExtension);
        const int64_t decoded = WriteSoundTrack(soundTrack.Path(), *audio, plan.first, plan.end - plan.first);
        plan = TrimToDecoded(plan, decoded, *audio, options.start);
        VideoSettings video;
        video.size = canvas.padded;
        video.fps = options.fps;
        video.crf = options.crf;
        video.preset = options.preset;
        video.sampleRate = audio->SampleRate();
        sink = MakeVideoSink(target, video, soundTrack.Path());
    } else {
        plan = TrimToDecoded(plan, CountDecoded(*audio, plan.first, plan.end - plan.first), *audio, options.start);
        sink = MakePngSequenceSink(target, canvas.padded);
    }

    const double seconds = RenderAndCommit(*audio, module, plan, canvas, *sink, options.gain, options.quiet);
    ReportDone(options.output, plan, canvas.visible, seconds, options.quiet);
    return RenderSummary{plan.FrameCount(), seconds};
}

RenderSummary RunSnapshot(const SnapshotOptions& options)
{
    const OutputTarget target = ClassifyOutput(options.output, true);
    const fs::path modulePath = ResolveModulePath(options.module);
    RefuseInputAsOutput(target, {options.audio.value_or(fs::path()), modulePath});
    Module module(modulePath);
    std::unique_ptr<AudioSource> audio = OpenAudio(options.audio);

    const int rate = audio->SampleRate();
    int64_t at = SecondsToSamples(options.at, rate);
    // A moment before the end that rounds onto it is the last sample.
    if (options.at * rate < static_cast<double>(audio->Length())) at = std::min(at, audio->Length() - 1);
    // The decoded audio must reach `at`, whatever the header claims (Length() then drops).
    if (at < audio->Length()) CountDecoded(*audio, 0, at + 1);
    if (at >= audio->Length()) {
        throw Error("--at " + SecondsText(options.at) + " is at or past the end of " + audio->Name() + " (" +
                    SecondsText(static_cast<double>(audio->Length()) / rate) + " s)");
    }
    // The scene is stateful: every frame before the one holding `at` is drawn too.
    const analysis::FramePlan plan = analysis::PlanUpTo(at, rate, options.fps);
    const int64_t frame = plan.FrameCount() - 1;
    const CanvasSizes canvas{options.size, options.size};

    std::unique_ptr<FrameSink> sink = MakeSnapshotSink(target, canvas.padded, frame);
    const double seconds = RenderAndCommit(*audio, module, plan, canvas, *sink, options.gain, options.quiet);
    if (!options.quiet) {
        std::fprintf(stderr, "nimbrelle: wrote %s: frame %" PRId64 " (%.3f s), %dx%d\n", options.output.c_str(),
                     frame, static_cast<double>(plan.FrameStart(frame)) / rate, canvas.visible.width,
                     canvas.visible.height);
    }
    return RenderSummary{plan.FrameCount(), seconds};
}

void PrintModuleInfo(const fs::path& path, std::FILE* out)
{
    Module module(path);
    const ModuleDescriptor& d = module.Descriptor();
    std::error_code ec;
    const fs::path shown = fs::absolute(path, ec);
    std::fprintf(out, "module:     %s\n", (ec ? path : shown).c_str());
    std::fprintf(out, "name:       %s\n", module.Name().c_str());
    std::fprintf(out, "leadWord:   %" PRId32 "\n", d.leadWord);
    std::fprintf(out, "hostWord:   %" PRId32 "\n", d.hostWord);
    auto entry = [&](const char* label, auto fn) {
        const void* address = nullptr;
        static_assert(sizeof(fn) == sizeof(address));
        std::memcpy(&address, &fn, sizeof address);
        std::fprintf(out, "%-11s %s\n", label, address == nullptr ? "(none)" : module.DescribeAddress(address).c_str());
    };
    entry("init:", d.init);
    entry("render:", d.render);
    entry("auxEntryA:", d.auxEntryA);
    entry("auxEntryB:", d.auxEntryB);
    std::fprintf(out, "descriptor: %s\n", module.DescribeAddress(&d).c_str());
}

}  // namespace nimbrelle::host
