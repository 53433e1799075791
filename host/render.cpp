#include "render.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <vector>

#include "demo_signal.h"
#include "error.h"
#include "signals.h"

namespace nimbrelle::host {

namespace fs = std::filesystem;

void RenderFrames(AudioSource& audio, Module& module, Analyser& analyser, const FramePlan& plan,
                  FrameSink& sink, Progress& progress)
{
    const auto stride = static_cast<std::size_t>(plan.padded.width);
    std::vector<uint32_t> pixels(stride * static_cast<std::size_t>(plan.padded.height), 0u);
    FrameData frame{};
    SampleHistory history(audio, plan.firstSample);
    const int rate = audio.SampleRate();
    const bool padRight = plan.padded.width > plan.visible.width;
    const bool padBottom = plan.padded.height > plan.visible.height;

    module.Init();
    for (int64_t n = 0; n < plan.frameCount; ++n) {
        ThrowIfInterrupted();
        const int64_t sample = plan.firstSample + FrameStartSample(n, rate, plan.fps);
        history.AdvanceTo(sample);
        analyser.Analyse(history.Left(), history.Right(), SampleToMilliseconds(sample, rate), frame);
        module.Render(pixels.data(), plan.visible.width, plan.visible.height,
                      static_cast<int32_t>(stride), frame, n);
        if (padRight) {
            for (std::size_t y = 0; y < static_cast<std::size_t>(plan.visible.height); ++y) {
                uint32_t* row = pixels.data() + y * stride;
                std::fill(row + plan.visible.width, row + stride, row[plan.visible.width - 1]);
            }
        }
        for (int y = plan.visible.height; padBottom && y < plan.padded.height; ++y) {
            std::copy_n(pixels.data() + static_cast<std::size_t>(plan.visible.height - 1) * stride, stride,
                        pixels.data() + static_cast<std::size_t>(y) * stride);
        }
        sink.Write(pixels.data(), n);
        progress.Update(n + 1);
    }
}

namespace {

std::unique_ptr<AudioSource> OpenAudio(const std::optional<fs::path>& path)
{
    if (path) return std::make_unique<SndfileSource>(*path);
    return MakeDemoSource();
}

void ReportDone(const std::string& output, const FramePlan& plan, double seconds, bool quiet)
{
    if (quiet) return;
    const double fps = seconds > 0.0 ? static_cast<double>(plan.frameCount) / seconds : 0.0;
    std::fprintf(stderr, "nimbrelle: wrote %s: %" PRId64 " frames, %dx%d at %s fps, in %.1f s (%.1f frames/s)\n",
                 output.c_str(), plan.frameCount, plan.visible.width, plan.visible.height,
                 plan.fps.ToString().c_str(), seconds, fps);
}

}  // namespace

namespace {

// Renders every frame of the plan into the sink and commits it; returns the seconds taken.
// The progress display is closed whether or not the render succeeds.
double RenderAndCommit(AudioSource& audio, Module& module, const FramePlan& plan, FrameSink& sink, float gain,
                       bool quiet)
{
    Analyser analyser(gain);
    Progress progress(stderr, plan.frameCount, quiet);
    try {
        RenderFrames(audio, module, analyser, plan, sink, progress);
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
    Module module(ResolveModulePath(options.module));
    std::unique_ptr<AudioSource> audio = OpenAudio(options.audio);

    const int rate = audio->SampleRate();
    const SampleSpan span = SelectSamples(*audio, options.start, options.duration);
    const int64_t first = span.first;
    const int64_t length = span.end - span.first;

    FramePlan plan;
    plan.firstSample = first;
    plan.frameCount = FrameCountFor(length, rate, options.fps);
    plan.fps = options.fps;
    plan.visible = options.size;
    plan.padded = options.size;

    TempPath soundTrack;  // declared first, so the sink (and ffmpeg) goes before it
    std::unique_ptr<FrameSink> sink;
    if (target.kind == OutputKind::Video) {
        // 4:2:0 video needs even sides: an odd side gains one pixel, a copy of its last row
        // or column.
        plan.padded.width += plan.padded.width % 2;
        plan.padded.height += plan.padded.height % 2;
        if (!FindInPath("ffmpeg")) {
            throw Error("cannot write " + Quoted(options.output) +
                        ": the ffmpeg program was not found in PATH (install ffmpeg, or render PNG frames instead)");
        }
        soundTrack = MakeTempFile(fs::temp_directory_path(), "nimbrelle-audio-", ".wav");
        WriteWav(soundTrack.Path(), *audio, first, length);
        VideoSettings video;
        video.size = plan.padded;
        video.fps = options.fps;
        video.crf = options.crf;
        video.preset = options.preset;
        sink = MakeVideoSink(target, video, soundTrack.Path());
    } else {
        sink = MakePngSequenceSink(target, plan.padded);
    }

    const double seconds = RenderAndCommit(*audio, module, plan, *sink, options.gain, options.quiet);
    ReportDone(options.output, plan, seconds, options.quiet);
    return RenderSummary{plan.frameCount, seconds};
}

RenderSummary RunSnapshot(const SnapshotOptions& options)
{
    const OutputTarget target = ClassifyOutput(options.output, true);
    Module module(ResolveModulePath(options.module));
    std::unique_ptr<AudioSource> audio = OpenAudio(options.audio);

    const int rate = audio->SampleRate();
    const int64_t at = SecondsToSamples(options.at, rate);
    if (at >= audio->Length()) {
        throw Error("--at " + SecondsText(options.at) + " is at or past the end of " + audio->Name() + " (" +
                    SecondsText(static_cast<double>(audio->Length()) / rate) + " s)");
    }
    const int64_t frame = FrameAtSample(at, rate, options.fps);

    FramePlan plan;
    plan.firstSample = 0;
    plan.frameCount = frame + 1;  // the scene is stateful: every earlier frame is drawn too
    plan.fps = options.fps;
    plan.visible = options.size;
    plan.padded = options.size;

    std::unique_ptr<FrameSink> sink = MakeSnapshotSink(target, plan.padded, frame);
    const double seconds = RenderAndCommit(*audio, module, plan, *sink, options.gain, options.quiet);
    if (!options.quiet) {
        std::fprintf(stderr, "nimbrelle: wrote %s: frame %" PRId64 " (%.3f s), %dx%d\n", options.output.c_str(),
                     frame, static_cast<double>(FrameStartSample(frame, rate, options.fps)) / rate,
                     plan.visible.width, plan.visible.height);
    }
    return RenderSummary{plan.frameCount, seconds};
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
