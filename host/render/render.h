// `nimbrelle render` and `nimbrelle snapshot`: audio (or the demo) drawn by the module into a
// video, PNG frames or one PNG file. Nothing appears under the output's name until it is
// complete.
#pragma once

#include "options/options.h"

namespace nimbrelle::host {

// render: the shared options (output, start, duration, crf and preset among them).
using RenderOptions = CommandOptions;

// snapshot: the shared options and the moment to draw.
struct SnapshotOptions : CommandOptions {
    double at = 0.0;
};

// Renders the selected audio from its start to its end. Throws Error naming the problem and
// the file, Interrupted on a stop request; either way nothing is left behind.
void RunRender(const RenderOptions& options);

// Draws every frame up to the one holding `at` and writes that one.
void RunSnapshot(const SnapshotOptions& options);

}  // namespace nimbrelle::host
