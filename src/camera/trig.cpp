// Sine and cosine that give the same bits on every platform.
//
// This is a C++ port of the fdlibm sine/cosine as carried by musl (src/math/__sin.c, __cos.c,
// __rem_pio2.c, __rem_pio2_large.c, sin.c, cos.c), reduced to plain double arithmetic.
//
// ----------------------------------------------------------------------------------------------
// musl is licensed under the following standard MIT license:
//
// Copyright (c) 2005-2020 Rich Felker, et al.
//
// Permission is hereby granted, free of charge, to any person obtaining a copy of this software
// and associated documentation files (the "Software"), to deal in the Software without
// restriction, including without limitation the rights to use, copy, modify, merge, publish,
// distribute, sublicense, and/or sell copies of the Software, and to permit persons to whom the
// Software is furnished to do so, subject to the following conditions:
//
// The above copyright notice and this permission notice shall be included in all copies or
// substantial portions of the Software.
//
// THE SOFTWARE IS PROVIDED "AS IS", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR IMPLIED, INCLUDING
// BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A PARTICULAR PURPOSE AND
// NONINFRINGEMENT. IN NO EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM,
// DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM,
// OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE SOFTWARE.
// ----------------------------------------------------------------------------------------------
// The algorithms and constants come from fdlibm (via FreeBSD msun), under this notice:
//
// Copyright (C) 1993 by Sun Microsystems, Inc. All rights reserved.
//
// Developed at SunSoft, a Sun Microsystems, Inc. business.
// Permission to use, copy, modify, and distribute this
// software is freely granted, provided that this notice
// is preserved.
//
// The medium-range reduction was optimized by Bruce D. Evans.
// ----------------------------------------------------------------------------------------------
//
// Why results are platform independent: every operation below is a single IEEE double +, -, *
// or an exact conversion between double and a 32-bit integer in range, evaluated in round-to-
// nearest. Nothing calls the C library's math functions (floor and scalbn are replaced by exact
// bit-level helpers), nothing uses long double, and the guards below refuse builds where the
// compiler would evaluate double expressions in wider registers (x87) or re-associate them.
// Fused multiply-add contraction must be off (-ffp-contract=off), which the build sets.
//
// Differences from the musl code: no floating-point exception flags are raised on purpose (the
// FORCE_EVAL statements are gone), and a non-finite argument returns the default quiet NaN
// directly instead of computing x - x, so no invalid-operation exception can trap in a host that
// unmasks it, and the NaN's bits do not depend on the CPU.

#include "camera/trig.h"

#include <bit>
#include <cfloat>
#include <cstdint>
#include <limits>

#if defined(__FAST_MATH__)
#error "trig.cpp relies on exact IEEE semantics; do not build it with -ffast-math"
#endif
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0 && FLT_EVAL_METHOD != 1
// x87 evaluates in 80-bit registers and rounds at unpredictable points.
#error "trig.cpp needs double arithmetic in double precision: use -msse2 -mfpmath=sse on x86"
#endif

static_assert(std::numeric_limits<double>::is_iec559, "IEEE-754 binary64 double required");

namespace nimbrelle {
namespace {

std::uint32_t HighWord(double x) {
    return static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(x) >> 32);
}

// 2^n for -1022 <= n <= 1023, built from its bits (exact; replaces scalbn(1.0, n)).
double PowerOfTwo(int n) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(n + 1023) << 52);
}

// floor(v) for finite v >= 0. Adding and removing 2^52 rounds v to an integer exactly under
// round-to-nearest; one step back fixes the cases that rounded up.
double FloorNonNegative(double v) {
    constexpr double kTwo52 = 0x1p52;
    if (v >= kTwo52) return v;
    double r = (v + kTwo52) - kTwo52;
    if (r > v) r -= 1.0;
    return r;
}

// sin(x + y) for |x + y| <= ~pi/4, where y is a tail far below x's last bit. When hasTail is
// false y is taken as zero. A degree-13 odd polynomial, |error| <= 2^-58 relative on [0, pi/4];
// the tail enters through sin(x + y) ~ sin(x) + (1 - x*x/2) * y. Must not be called for -0.
double KernelSine(double x, double y, bool hasTail) {
    constexpr double S1 = -0x1.5555555555549p-3;
    constexpr double S2 = 0x1.111111110f8a6p-7;
    constexpr double S3 = -0x1.a01a019c161d5p-13;
    constexpr double S4 = 0x1.71de357b1fe7dp-19;
    constexpr double S5 = -0x1.ae5e68a2b9cebp-26;
    constexpr double S6 = 0x1.5d93a5acfd57cp-33;

    const double z = x * x;
    const double w = z * z;
    const double r = S2 + z * (S3 + z * S4) + z * w * (S5 + z * S6);
    const double v = z * x;
    if (!hasTail) return x + v * (S1 + z * r);
    return x - ((z * (0.5 * y - v * r) - y) - v * S1);
}

// cos(x + y) for |x + y| <= ~pi/4. Degree-14 even polynomial, |error| <= 2^-58. The result is
// formed as w + (((1 - w) - z/2) + (z*r - x*y)) with w = 1 - z/2, so the rounding error of w is
// recovered exactly in the correction term.
double KernelCosine(double x, double y) {
    constexpr double C1 = 0x1.555555555554cp-5;
    constexpr double C2 = -0x1.6c16c16c15177p-10;
    constexpr double C3 = 0x1.a01a019cb1590p-16;
    constexpr double C4 = -0x1.27e4f809c52adp-22;
    constexpr double C5 = 0x1.1ee9ebdb4b1c4p-29;
    constexpr double C6 = -0x1.8fae9be8838d4p-37;

    const double z = x * x;
    const double w = z * z;
    const double r = z * (C1 + z * (C2 + z * C3)) + w * w * (C4 + z * (C5 + z * C6));
    const double hz = 0.5 * z;
    const double one_minus_hz = 1.0 - hz;
    return one_minus_hz + (((1.0 - one_minus_hz) - hz) + (z * r - x * y));
}

// Bits of 2/pi after the binary point, 24 at a time: entry i holds bits 24i+1 .. 24i+24.
// A double argument needs at most (1000 - 3) / 24 + 4 = 45 entries plus the few extra ones the
// cancellation re-run may pull in; 90 entries leave ample room.
constexpr std::int32_t kTwoOverPiBits[] = {
    0xA2F983, 0x6E4E44, 0x1529FC, 0x2757D1, 0xF534DD, 0xC0DB62, 0x95993C, 0x439041, 0xFE5163,
    0xABDEBB, 0xC561B7, 0x246E3A, 0x424DD2, 0xE00649, 0x2EEA09, 0xD1921C, 0xFE1DEB, 0x1CB129,
    0xA73EE8, 0x8235F5, 0x2EBB44, 0x84E99C, 0x7026B4, 0x5F7E41, 0x3991D6, 0x398353, 0x39F49C,
    0x845F8B, 0xBDF928, 0x3B1FF8, 0x97FFDE, 0x05980F, 0xEF2F11, 0x8B5A0A, 0x6D1F6D, 0x367ECF,
    0x27CB09, 0xB74F46, 0x3F669E, 0x5FEA2D, 0x7527BA, 0xC7EBE5, 0xF17B3D, 0x0739F7, 0x8A5292,
    0xEA6BFB, 0x5FB11F, 0x8D5D08, 0x560330, 0x46FC7B, 0x6BABF0, 0xCFBC20, 0x9AF436, 0x1DA9E3,
    0x91615E, 0xE61B08, 0x659985, 0x5F14A0, 0x68408D, 0xFFD880, 0x4D7327, 0x310606, 0x1556CA,
    0x73A8C9, 0x60E27B, 0xC08C6B, 0x47C419, 0xC367CD, 0xDCE809, 0x2A8359, 0xC4768B, 0x961CA6,
    0xDDAF44, 0xD15719, 0x053EA5, 0xFF0705, 0x3F7E33, 0xE832C2, 0xDE4F98, 0x327DBB, 0xC33D26,
    0xEF6B1E, 0x5EF89F, 0x3A1F35, 0xCAF27F, 0x1D87F1, 0x21907C, 0x7C246A, 0xFA6ED5, 0x772D30,
};
constexpr int kTwoOverPiCount = static_cast<int>(sizeof kTwoOverPiBits / sizeof kTwoOverPiBits[0]);

// pi/2 cut into 24-bit pieces; their sum matches pi/2 to about 2^-200.
constexpr double kPiOver2Pieces[] = {
    0x1.921fb40000000p+0,  0x1.4442d00000000p-24, 0x1.8469880000000p-48, 0x1.8cc5160000000p-72,
    0x1.01b8380000000p-96, 0x1.a252040000000p-120, 0x1.3822280000000p-145, 0x1.9f31d00000000p-169,
};

// Payne-Hanek reduction for large arguments. The positive input is x[0]*2^e0 + x[1]*2^(e0-24)
// + ..., with each x[i] a 24-bit integer held in a double and x[0] != 0, count = 1..3 pieces.
// Writes y[0] + y[1] = input - N*pi/2 with |y| <= ~pi/4 and returns N mod 8.
//
// The product input * 2/pi is formed only from the bits of 2/pi that matter: earlier bits give
// an integer that is 0 mod 8 and are skipped, so the cost does not depend on the exponent. The
// product is carried as 24-bit integer chunks; if the fraction cancels down to zero more bits of
// 2/pi are brought in and the chunks recomputed.
int ReduceLarge(const double* x, double* y, int e0, int count) {
    constexpr int jk = 4;  // jk + 1 initial terms of 2/pi (two beyond need, for the re-run test)
    constexpr int jp = jk;  // terms of kPiOver2Pieces used
    constexpr double kTwo24 = 0x1p24;
    constexpr double kTwoMinus24 = 0x1p-24;

    // Zero-filled so every element read is defined whatever path the indices take.
    std::int32_t iq[20] = {};
    double f[20] = {};
    double fq[20] = {};
    double q[20] = {};

    const int jx = count - 1;
    int jv = (e0 - 3) / 24;
    if (jv < 0) jv = 0;
    int q0 = e0 - 24 * (jv + 1);  // exponent of q[0]; always < 3

    // f[0 .. jx+jk] = 2/pi chunks jv-jx .. jv+jk (zero before the binary point).
    for (int i = 0, j = jv - jx; i <= jx + jk; i++, j++) {
        f[i] = j < 0 ? 0.0 : static_cast<double>(kTwoOverPiBits[j]);
    }
    // q[i] = sum of x[j] * f[jx + i - j]; each product and sum is exact (below 2^53).
    for (int i = 0; i <= jk; i++) {
        double fw = 0.0;
        for (int j = 0; j <= jx; j++) fw += x[j] * f[jx + i - j];
        q[i] = fw;
    }

    int jz = jk;
    int n = 0;
    int ih = 0;
    double z = 0.0;
    for (;;) {
        // Distill q[] into 24-bit integer chunks iq[], lowest first. Every value converted to
        // an integer here is well inside the 32-bit range.
        z = q[jz];
        for (int i = 0, j = jz; j > 0; i++, j--) {
            const double fw = static_cast<double>(static_cast<std::int32_t>(kTwoMinus24 * z));
            iq[i] = static_cast<std::int32_t>(z - kTwo24 * fw);
            z = q[j - 1] + fw;
        }

        // Integer part of the product mod 8, and its fraction.
        z *= PowerOfTwo(q0);
        z -= 8.0 * FloorNonNegative(z * 0.125);
        n = static_cast<std::int32_t>(z);
        z -= static_cast<double>(n);
        ih = 0;
        if (q0 > 0) {  // the lowest integer bits sit in iq[jz-1]
            const std::int32_t i = iq[jz - 1] >> (24 - q0);
            n += i;
            iq[jz - 1] -= i << (24 - q0);
            ih = iq[jz - 1] >> (23 - q0);
        } else if (q0 == 0) {
            ih = iq[jz - 1] >> 23;
        } else if (z >= 0.5) {
            ih = 2;
        }

        if (ih > 0) {  // fraction >= 1/2: take N + 1 and the fraction 1 - q (negative result)
            n += 1;
            bool carry = false;
            for (int i = 0; i < jz; i++) {
                const std::int32_t j = iq[i];
                if (!carry) {
                    if (j != 0) {
                        carry = true;
                        iq[i] = 0x1000000 - j;
                    }
                } else {
                    iq[i] = 0xffffff - j;
                }
            }
            if (q0 == 1) {
                iq[jz - 1] &= 0x7fffff;
            } else if (q0 == 2) {
                iq[jz - 1] &= 0x3fffff;
            }
            if (ih == 2) {
                z = 1.0 - z;
                if (carry) z -= PowerOfTwo(q0);
            }
        }

        // If the fraction cancelled completely, pull in more bits of 2/pi and start over.
        if (z == 0.0) {
            std::int32_t any = 0;
            for (int i = jz - 1; i >= jk; i--) any |= iq[i];
            if (any == 0) {
                int k = 1;
                while (iq[jk - k] == 0) k++;  // k = number of extra terms needed
                for (int i = jz + 1; i <= jz + k; i++) {
                    f[jx + i] = jv + i < kTwoOverPiCount
                                    ? static_cast<double>(kTwoOverPiBits[jv + i])
                                    : 0.0;
                    double fw = 0.0;
                    for (int j = 0; j <= jx; j++) fw += x[j] * f[jx + i - j];
                    q[i] = fw;
                }
                jz += k;
                continue;
            }
        }
        break;
    }

    // Drop chunks that are zero, or split the remaining fraction into 24-bit chunks.
    if (z == 0.0) {
        jz -= 1;
        q0 -= 24;
        while (iq[jz] == 0) {
            jz--;
            q0 -= 24;
        }
    } else {
        z *= PowerOfTwo(-q0);
        if (z >= kTwo24) {
            const double fw = static_cast<double>(static_cast<std::int32_t>(kTwoMinus24 * z));
            iq[jz] = static_cast<std::int32_t>(z - kTwo24 * fw);
            jz += 1;
            q0 += 24;
            iq[jz] = static_cast<std::int32_t>(fw);
        } else {
            iq[jz] = static_cast<std::int32_t>(z);
        }
    }

    // Chunks back to doubles: q[i] = iq[i] * 2^(q0 - 24*(jz - i)).
    double scale = PowerOfTwo(q0);
    for (int i = jz; i >= 0; i--) {
        q[i] = scale * static_cast<double>(iq[i]);
        scale *= kTwoMinus24;
    }

    // fq[jz - i] = sum over k of kPiOver2Pieces[k] * q[i + k].
    for (int i = jz; i >= 0; i--) {
        double fw = 0.0;
        for (int k = 0; k <= jp && k <= jz - i; k++) fw += kPiOver2Pieces[k] * q[i + k];
        fq[jz - i] = fw;
    }

    // Compress fq[] into a head and a tail.
    double fw = 0.0;
    for (int i = jz; i >= 0; i--) fw += fq[i];
    y[0] = ih == 0 ? fw : -fw;
    fw = fq[0] - fw;
    for (int i = 1; i <= jz; i++) fw += fq[i];
    y[1] = ih == 0 ? fw : -fw;
    return n & 7;
}

// Writes y[0] + y[1] = x - N*pi/2 with |y| <= ~pi/4 and returns N (only N mod 4 matters to the
// callers). x must be finite with |x| > ~pi/4. Small multiples use one step of a 33+53-bit pi/2;
// |x| < 2^20*pi/2 uses Cody-Waite with up to three 33-bit pieces of pi/2, adding a piece when
// cancellation has eaten the accuracy of the previous step; larger x goes to ReduceLarge.
int ReducePiOver2(double x, double* y) {
    constexpr double kToInt = 0x1.8p52;  // 1.5 * 2^52: adding and removing it rounds to integer
    constexpr double kPiOver4 = 0x1.921fb54442d18p-1;
    constexpr double kInvPiOver2 = 0x1.45f306dc9c883p-1;  // 53 bits of 2/pi
    constexpr double kPiOver2_1 = 0x1.921fb54400000p+0;   // first 33 bits of pi/2
    constexpr double kPiOver2_1t = 0x1.0b4611a626331p-34;  // pi/2 - kPiOver2_1
    constexpr double kPiOver2_2 = 0x1.0b4611a600000p-34;  // second 33 bits of pi/2
    constexpr double kPiOver2_2t = 0x1.3198a2e037073p-69;  // pi/2 - (first + second)
    constexpr double kPiOver2_3 = 0x1.3198a2e000000p-69;  // third 33 bits of pi/2
    constexpr double kPiOver2_3t = 0x1.b839a252049c1p-104;  // pi/2 - (first + second + third)

    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const bool negative = (bits >> 63) != 0;
    const std::uint32_t ix = static_cast<std::uint32_t>(bits >> 32) & 0x7fffffffu;

    // |x| near 1, 2, 3 or 4 times pi/2 with a cancelling leading word: the medium path handles
    // those with more bits of pi/2.
    bool medium = ix < 0x413921fb;  // |x| ~< 2^20 * pi/2
    if (ix <= 0x400f6a7a) {  // |x| ~<= 5pi/4
        if ((ix & 0xfffff) == 0x921fb) {  // |x| ~= pi/2 or 2pi/2
            medium = true;
        } else if (ix <= 0x4002d97c) {  // |x| ~<= 3pi/4
            if (!negative) {
                const double z = x - kPiOver2_1;  // exact; one step good to 85 bits
                y[0] = z - kPiOver2_1t;
                y[1] = (z - y[0]) - kPiOver2_1t;
                return 1;
            }
            const double z = x + kPiOver2_1;
            y[0] = z + kPiOver2_1t;
            y[1] = (z - y[0]) + kPiOver2_1t;
            return -1;
        } else {
            if (!negative) {
                const double z = x - 2 * kPiOver2_1;
                y[0] = z - 2 * kPiOver2_1t;
                y[1] = (z - y[0]) - 2 * kPiOver2_1t;
                return 2;
            }
            const double z = x + 2 * kPiOver2_1;
            y[0] = z + 2 * kPiOver2_1t;
            y[1] = (z - y[0]) + 2 * kPiOver2_1t;
            return -2;
        }
    } else if (ix <= 0x401c463b) {  // |x| ~<= 9pi/4
        if (ix <= 0x4015fdbc) {  // |x| ~<= 7pi/4
            if (ix == 0x4012d97c) {  // |x| ~= 3pi/2
                medium = true;
            } else if (!negative) {
                const double z = x - 3 * kPiOver2_1;
                y[0] = z - 3 * kPiOver2_1t;
                y[1] = (z - y[0]) - 3 * kPiOver2_1t;
                return 3;
            } else {
                const double z = x + 3 * kPiOver2_1;
                y[0] = z + 3 * kPiOver2_1t;
                y[1] = (z - y[0]) + 3 * kPiOver2_1t;
                return -3;
            }
        } else {
            if (ix == 0x401921fb) {  // |x| ~= 4pi/2
                medium = true;
            } else if (!negative) {
                const double z = x - 4 * kPiOver2_1;
                y[0] = z - 4 * kPiOver2_1t;
                y[1] = (z - y[0]) - 4 * kPiOver2_1t;
                return 4;
            } else {
                const double z = x + 4 * kPiOver2_1;
                y[0] = z + 4 * kPiOver2_1t;
                y[1] = (z - y[0]) + 4 * kPiOver2_1t;
                return -4;
            }
        }
    }

    if (medium) {
        // fn = nearest integer to x * 2/pi; |fn| <= 2^20 + 1 so the conversion is in range.
        double fn = (x * kInvPiOver2 + kToInt) - kToInt;
        int n = static_cast<std::int32_t>(fn);
        double r = x - fn * kPiOver2_1;  // exact: fn has <= 21 bits, kPiOver2_1 33
        double w = fn * kPiOver2_1t;     // first step, good to 85 bits
        // Only reachable under directed rounding; kept so the result stays in range regardless.
        if (r - w < -kPiOver4) {
            n--;
            fn--;
            r = x - fn * kPiOver2_1;
            w = fn * kPiOver2_1t;
        } else if (r - w > kPiOver4) {
            n++;
            fn++;
            r = x - fn * kPiOver2_1;
            w = fn * kPiOver2_1t;
        }
        y[0] = r - w;
        const int ex = static_cast<int>(ix >> 20);
        int ey = static_cast<int>((HighWord(y[0]) >> 20) & 0x7ff);
        if (ex - ey > 16) {  // second step, good to 118 bits
            double t = r;
            w = fn * kPiOver2_2;
            r = t - w;
            w = fn * kPiOver2_2t - ((t - r) - w);
            y[0] = r - w;
            ey = static_cast<int>((HighWord(y[0]) >> 20) & 0x7ff);
            if (ex - ey > 49) {  // third step, good to 151 bits: enough for every double
                t = r;
                w = fn * kPiOver2_3;
                r = t - w;
                w = fn * kPiOver2_3t - ((t - r) - w);
                y[0] = r - w;
            }
        }
        y[1] = (r - y[0]) - w;
        return n;
    }

    // Large |x|: split the significand into three 24-bit pieces for ReduceLarge, with |x| =
    // z * 2^e0 where z = significand scaled into [2^23, 2^24).
    double z = std::bit_cast<double>((bits & (~std::uint64_t{0} >> 12)) |
                                     (std::uint64_t{0x3ff + 23} << 52));
    double tx[3];
    int i = 0;
    for (; i < 2; i++) {
        tx[i] = static_cast<double>(static_cast<std::int32_t>(z));
        z = (z - tx[i]) * 0x1p24;
    }
    tx[i] = z;
    while (tx[i] == 0.0) i--;  // the first piece is never zero
    double ty[2];
    const int e0 = static_cast<int>(ix >> 20) - (0x3ff + 23);
    const int n = ReduceLarge(tx, ty, e0, i + 1);
    if (negative) {
        y[0] = -ty[0];
        y[1] = -ty[1];
        return -n;
    }
    y[0] = ty[0];
    y[1] = ty[1];
    return n;
}

}  // namespace

double Sine(double x) {
    const std::uint32_t ix = HighWord(x) & 0x7fffffffu;

    if (ix <= 0x3fe921fb) {  // |x| ~<= pi/4
        if (ix < 0x3e500000) return x;  // |x| < 2^-26: sin(x) rounds to x (keeps the sign of 0)
        return KernelSine(x, 0.0, false);
    }
    if (ix >= 0x7ff00000) return std::numeric_limits<double>::quiet_NaN();  // inf or NaN

    double y[2];
    const int n = ReducePiOver2(x, y);
    switch (static_cast<unsigned>(n) & 3u) {
        case 0: return KernelSine(y[0], y[1], true);
        case 1: return KernelCosine(y[0], y[1]);
        case 2: return -KernelSine(y[0], y[1], true);
        default: return -KernelCosine(y[0], y[1]);
    }
}

double Cosine(double x) {
    const std::uint32_t ix = HighWord(x) & 0x7fffffffu;

    if (ix <= 0x3fe921fb) {  // |x| ~<= pi/4
        if (ix < 0x3e46a09e) return 1.0;  // |x| < 2^-27 * sqrt(2): cos(x) rounds to 1
        return KernelCosine(x, 0.0);
    }
    if (ix >= 0x7ff00000) return std::numeric_limits<double>::quiet_NaN();  // inf or NaN

    double y[2];
    const int n = ReducePiOver2(x, y);
    switch (static_cast<unsigned>(n) & 3u) {
        case 0: return KernelCosine(y[0], y[1]);
        case 1: return -KernelSine(y[0], y[1], true);
        case 2: return -KernelCosine(y[0], y[1]);
        default: return KernelSine(y[0], y[1], true);
    }
}

}  // namespace nimbrelle
