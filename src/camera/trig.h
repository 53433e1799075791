#pragma once

namespace nimbrelle {

// Sine of x radians, identical on every platform: pure IEEE double arithmetic, error below 1 ulp.
double Sine(double x);
// Cosine of x radians, identical on every platform: pure IEEE double arithmetic, error below 1 ulp.
double Cosine(double x);

}  // namespace nimbrelle
