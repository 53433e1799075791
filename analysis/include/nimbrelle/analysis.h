// The samples-to-FrameData route every front end shares: frame timing (frame_plan.h), sample
// histories and channel mixing (samples.h), the analysis itself (analyser.h), the whole route
// in one call (route.h), and the built-in demo piece (demo.h). It depends on KissFFT alone.
#pragma once

#include "nimbrelle/analysis/analyser.h"
#include "nimbrelle/analysis/demo.h"
#include "nimbrelle/analysis/frame_plan.h"
#include "nimbrelle/analysis/route.h"
#include "nimbrelle/analysis/samples.h"
