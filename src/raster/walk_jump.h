// Jumping over many steps of a fading line's walk at once without changing a pixel.
//
// A sum v repeatedly increased by s, rounded to double each time, moves by a constant amount d
// while it stays inside one binade [2^e, 2^(e+1)) (in magnitude): v lies on that binade's grid
// of spacing u, so v + s rounds to v plus s rounded to the grid. (When s is an odd number of
// half-spacings the tie goes to the even neighbour, which depends on v; from an even v the
// step keeps v even, so it is constant too; from an odd v one plain step is taken first.)
// Every accumulator of a walk (position, colour and step count) is such a sum, so a stretch of
// steps inside their binades can be jumped exactly: after k steps each is v + k * d, computed
// without rounding.
#pragma once

#include <cstdint>

namespace nimbrelle {

inline constexpr uint64_t Unbounded = UINT64_MAX;

// The number of steps v += s can take by the constant d (set here) with every sum inside v's
// binade; 0 when the next step must be taken plainly; Unbounded when v never changes.
uint64_t ConstantSteps(double v, double s, double& d);

}  // namespace nimbrelle
