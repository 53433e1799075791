// The host's jobs: rendering audio to frames, one snapshot, and describing a module.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "audio/source.h"
#include "base/module.h"
#include "nimbrelle/analysis/route.h"
#include "output/target.h"
#include "base/progress.h"
#include "base/timing.h"

namespace nimbrelle::host {

// The canvas of a render: the module draws `visible`; the frames handed to the sink are
// `padded` (at least as large), the extra columns and rows repeating the last visible ones.
struct CanvasSizes {
    FrameGeometry visible;
    FrameGeometry padded;
};

// Initialises the module, then analyses, draws and hands on every frame of the feed's plan.
// Reuses one pixel buffer; throws Interrupted when a stop is requested.
void RenderFrames(analysis::FrameFeed& feed, Module& module, const CanvasSizes& canvas, FrameSink& sink,
                  Progress& progress);

struct RenderOptions {
    std::optional<std::filesystem::path> audio;  // the demo signal when empty
    std::string output;
    FrameGeometry size{1280, 720};
    FrameRate fps;
    double start = 0.0;
    std::optional<double> duration;
    std::optional<std::filesystem::path> module;
    float gain = 1.0f;
    std::optional<int> crf;
    std::string preset = "veryfast";
    bool quiet = false;
};

struct SnapshotOptions {
    std::optional<std::filesystem::path> audio;
    std::string output;
    FrameGeometry size{1280, 720};
    FrameRate fps;
    double at = 0.0;
    std::optional<std::filesystem::path> module;
    float gain = 1.0f;
    bool quiet = false;
};

struct RenderSummary {
    int64_t frames = 0;
    double seconds = 0.0;
};

RenderSummary RunRender(const RenderOptions& options);
RenderSummary RunSnapshot(const SnapshotOptions& options);

// Prints the descriptor of the module at `path`: name, words and entry addresses.
void PrintModuleInfo(const std::filesystem::path& path, std::FILE* out);

}  // namespace nimbrelle::host
