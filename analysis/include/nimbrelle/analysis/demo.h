// The built-in demo: a 30-second piece synthesised in code, so a render needs no input file.
#pragma once

#include <memory>
#include <vector>

#include "nimbrelle/analysis/samples.h"

namespace nimbrelle::analysis {

inline constexpr int DemoSampleRate = 48000;
inline constexpr double DemoSeconds = 30.0;

// The piece as interleaved stereo floats at `sampleRate`, the same on every run (its noise
// comes from a fixed hash of the sample index, not from a library generator). At 120 beats
// per minute, in two-second bars over the chords Am F C G:
//   0-4 s    quiet pads;
//   4-12 s   kick on every beat, off-beat hats, an eighth-note bass line;
//   12-16 s  a quiet break: pads and an arpeggio, then a rising noise sweep;
//   16-28 s  the loud part: kick, snare, sixteenth hats, a heavier bass, pads and lead;
//   28-30 s  a last chord and kick fading to silence.
std::vector<float> SynthesiseDemo(int sampleRate = DemoSampleRate);

// The demo as an AudioSource named "the demo signal".
std::unique_ptr<AudioSource> MakeDemoSource(int sampleRate = DemoSampleRate);

}  // namespace nimbrelle::analysis
