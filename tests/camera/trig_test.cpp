// Sine and Cosine against the host C library and a long double reference.
//
// The comparison tests need an accurate host libm (glibc) and a long double with at least 64
// significand bits; elsewhere they are skipped and only the platform-independent checks run
// (special values, known hard cases, and a fingerprint of the scene's argument families that must
// come out the same on every platform).
#include "camera/trig.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace {

using nimbrelle::Cosine;
using nimbrelle::Sine;

#if defined(__GLIBC__) && LDBL_MANT_DIG >= 64
constexpr bool kHaveReference = true;
#else
constexpr bool kHaveReference = false;
#endif

class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1) with 53 random bits.
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1p-53; }
    // Uniform integer in [lo, hi].
    std::int64_t Between(std::int64_t lo, std::int64_t hi) {
        return lo + static_cast<std::int64_t>(Next() % static_cast<std::uint64_t>(hi - lo + 1));
    }

private:
    std::uint64_t state_;
};

std::uint64_t Bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Number of doubles between a and b (finite, |a|, |b| <= 1 here, so no overflow); +0 == -0.
std::int64_t UlpDistance(double a, double b) {
    auto ordered = [](double v) {
        const auto i = std::bit_cast<std::int64_t>(v);
        return i < 0 ? std::numeric_limits<std::int64_t>::min() - i : i;
    };
    const std::int64_t d = ordered(a) - ordered(b);
    return d < 0 ? -d : d;
}

// |value - truth| in units of the last place of truth's binade.
double UlpError(double value, long double truth) {
    if (truth == 0.0L) return value == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
    int exponent = 0;
    std::frexp(truth, &exponent);  // truth = m * 2^exponent, 0.5 <= |m| < 1
    const long double ulp = std::ldexp(1.0L, exponent - 53);
    return static_cast<double>(std::fabs(static_cast<long double>(value) - truth) / ulp);
}

enum class Function { kSine, kCosine };

double Ours(Function f, double x) { return f == Function::kSine ? Sine(x) : Cosine(x); }
double Host(Function f, double x) { return f == Function::kSine ? std::sin(x) : std::cos(x); }
long double Truth(Function f, double x) {
    const auto lx = static_cast<long double>(x);
    return f == Function::kSine ? std::sin(lx) : std::cos(lx);
}

// Compares our result with the host's for one family of arguments and keeps the counts. Where
// the two differ, the long double reference decides which is closer and checks that ours is
// within 1 ulp of the true value. With checkAll, every argument is checked against the
// reference, not only the disagreements.
class Tally {
public:
    Tally(const char* name, int maxListed, bool checkAll)
        : name_(name), maxListed_(maxListed), checkAll_(checkAll) {}

    void Add(Function f, double x) {
        const double ours = Ours(f, x);
        const double host = Host(f, x);
        ++total_;
        const bool same = Bits(ours) == Bits(host);
        if (!same) {
            ++mismatches_;
            const std::int64_t ulps = UlpDistance(ours, host);
            if (ulps > maxUlpsToHost_) maxUlpsToHost_ = ulps;
            EXPECT_LE(ulps, 1) << name_ << " x=" << x;
        }
        if (!same || checkAll_) {
            const long double truth = Truth(f, x);
            const double ourError = UlpError(ours, truth);
            const double hostError = UlpError(host, truth);
            if (ourError > maxOurError_) maxOurError_ = ourError;
            if (hostError > maxHostError_) maxHostError_ = hostError;
            EXPECT_LT(ourError, 1.0) << name_ << " x=" << x;
            if (!same) {
                // The reference carries 11 bits beyond double; closer calls finer than that
                // are left undecided.
                const double margin = ourError - hostError;
                const char* verdict = "undecided";
                if (margin < -0x1p-8) {
                    ++oursCloser_;
                    verdict = "ours closer";
                } else if (margin > 0x1p-8) {
                    ++hostCloser_;
                    verdict = "host closer";
                } else {
                    ++undecided_;
                }
                if (listed_ < maxListed_) {
                    ++listed_;
                    std::printf("  %s %s(%.17g): ours %a (%.3f ulp) host %a (%.3f ulp): %s\n",
                                name_, f == Function::kSine ? "sin" : "cos", x, ours, ourError,
                                host, hostError, verdict);
                }
            }
        }
    }

    void Report() const {
        std::printf(
            "[%s] %ld args, %ld differ from host (%.4f%%), max %lld ulp apart; of those ours "
            "closer %ld, host closer %ld, undecided %ld; max error checked: ours %.3f ulp, "
            "host %.3f ulp\n",
            name_, total_, mismatches_, total_ ? 100.0 * static_cast<double>(mismatches_) /
                                                     static_cast<double>(total_)
                                               : 0.0,
            static_cast<long long>(maxUlpsToHost_), oursCloser_, hostCloser_, undecided_,
            maxOurError_, maxHostError_);
    }

private:
    const char* name_;
    int maxListed_;
    bool checkAll_;
    int listed_ = 0;
    long total_ = 0, mismatches_ = 0, oursCloser_ = 0, hostCloser_ = 0, undecided_ = 0;
    std::int64_t maxUlpsToHost_ = 0;
    double maxOurError_ = 0.0, maxHostError_ = 0.0;
};

// The arguments the scene feeds in: two large progressions and their float-rounded forms.
double ScaleProgression(int n) { return static_cast<double>(n) * 5217.675159235669; }
double OffsetProgression(int n) { return static_cast<double>(n * 5461) + 0.14; }
double ThroughFloat(double x) { return static_cast<double>(static_cast<float>(x)); }

constexpr int kSceneCount = 32768;

TEST(TrigAgainstHost, SceneArgumentFamilies) {
    if (!kHaveReference) GTEST_SKIP() << "needs glibc and a 64-bit long double";
    struct Family {
        const char* name;
        double (*argument)(int);
    } const families[] = {
        {"n*5217.675159235669", ScaleProgression},
        {"n*5461+0.14", OffsetProgression},
        {"float(n*5217.675159235669)", [](int n) { return ThroughFloat(ScaleProgression(n)); }},
        {"float(n*5461+0.14)", [](int n) { return ThroughFloat(OffsetProgression(n)); }},
    };
    for (const Family& family : families) {
        Tally tally(family.name, 20, true);
        for (int n = 0; n < kSceneCount; ++n) {
            const double x = family.argument(n);
            tally.Add(Function::kSine, x);
            tally.Add(Function::kCosine, x);
        }
        tally.Report();
    }

    // Ordinary angles t*3.142/p, t a multiple of 3 below 6.7e7, p in 800..1799, sampled.
    SplitMix64 rng(0x5eed0001u);
    Tally tally("t*3.142/p", 20, false);
    for (int i = 0; i < 1'500'000; ++i) {
        const double t = static_cast<double>(3 * rng.Between(0, 22'333'333));
        const double p = static_cast<double>(rng.Between(800, 1799));
        const double x = t * 3.142 / p;
        tally.Add(Function::kSine, x);
        tally.Add(Function::kCosine, x);
    }
    tally.Report();
}

TEST(TrigAgainstHost, RandomArgumentsAndSymmetry) {
    if (!kHaveReference) GTEST_SKIP() << "needs glibc and a 64-bit long double";
    SplitMix64 rng(0x5eed0002u);

    // Uniform in [-2^30, 2^30]: mostly the Cody-Waite range and the start of the large one.
    Tally uniform("uniform[-2^30,2^30]", 5, false);
    for (int i = 0; i < 1'000'000; ++i) {
        const double x = (2.0 * rng.Unit() - 1.0) * 0x1p30;
        uniform.Add(Function::kSine, x);
        uniform.Add(Function::kCosine, x);
    }
    uniform.Report();

    // Random finite bit patterns: every exponent equally likely, so mostly Payne-Hanek, and
    // the symmetry of both functions under negation, bit for bit.
    Tally patterns("random bit patterns", 5, false);
    for (int i = 0; i < 400'000; ++i) {
        std::uint64_t bits = rng.Next();
        if ((bits & 0x7ff0000000000000u) == 0x7ff0000000000000u) bits ^= 0x0010000000000000u;
        const double x = std::bit_cast<double>(bits);
        patterns.Add(Function::kSine, x);
        patterns.Add(Function::kCosine, x);
        ASSERT_EQ(Bits(Sine(-x)), Bits(-Sine(x))) << x;
        ASSERT_EQ(Bits(Cosine(-x)), Bits(Cosine(x))) << x;
    }
    patterns.Report();

    // Doubles next to multiples of pi/2, where reduction cancels most bits: the first few
    // multiples take the dedicated paths, larger ones need the second and third Cody-Waite
    // steps or Payne-Hanek's re-run with more bits of 2/pi.
    Tally nearMultiples("near k*pi/2", 5, false);
    const long double halfPi = 1.5707963267948966192313216916397514L;
    auto addAround = [&](long double k) {
        double x = static_cast<double>(k * halfPi);
        for (int step = 0; step < 2; ++step) x = std::nextafter(x, 0.0);
        for (int step = 0; step < 5; ++step, x = std::nextafter(x, HUGE_VAL)) {
            nearMultiples.Add(Function::kSine, x);
            nearMultiples.Add(Function::kCosine, x);
            nearMultiples.Add(Function::kSine, -x);
            nearMultiples.Add(Function::kCosine, -x);
        }
    };
    for (int k = 1; k <= 20'000; ++k) addAround(static_cast<long double>(k));
    for (int i = 0; i < 20'000; ++i) {
        addAround(static_cast<long double>(rng.Between(1, std::int64_t{1} << 60)));
    }
    nearMultiples.Report();
}

// |value - (hi + lo)| in ulps of hi + lo, where hi is the double nearest the true value and lo
// the rest. value - hi is exact when the two are within a factor of two, as they are here.
double UlpErrorAgainst(double value, double hi, double lo) {
    int exponent = 0;
    std::frexp(hi, &exponent);
    double ulp = std::ldexp(1.0, exponent - 53);
    // Just below a power of two the spacing is half as wide.
    if (std::fabs(hi) == std::ldexp(1.0, exponent - 1) && (lo < 0.0) != (hi < 0.0)) ulp *= 0.5;
    return std::fabs((value - hi) - lo) / ulp;
}

// Arguments whose reduction cancels the most: for each binade up to 2^21 (the Cody-Waite range)
// and for the worst binades beyond, the double closest to a multiple of pi/2, found from the
// continued fraction of pi/2. Among them 0x1.6ac5b262ca1ffp+849, the double closest to a
// multiple of pi/2 of all (remainder 4.7e-19). Then 1e22, DBL_MAX, and the largest scene
// arguments. True values as double pairs hi + lo from a 2600-bit computation. Near a multiple
// of pi/2 the kernels are nearly exact, so any error here comes from the reduction: all of these
// are correctly rounded, and a reduction short of the needed bits shows as an error above 0.5.
TEST(Trig, HardestReductionsAgainstTrueValues) {
    struct Case {
        double x, sineHi, sineLo, cosineHi, cosineLo;
    } const cases[] = {
        {0x1.921fb54442d18p+0, 0x1.0000000000000p+0, -0x1.377ce858a5d48p-109,
         0x1.1a62633145c07p-54, -0x1.f1976b7ed8fbcp-110},
        {0x1.921fb54442d18p+1, 0x1.1a62633145c07p-53, -0x1.f1976b7ed8fbdp-109,
         -0x1.0000000000000p+0, 0x1.377ce858a5d48p-107},
        {0x1.2d97c7f3321d2p+2, -0x1.0000000000000p+0, 0x1.5e6c8563ba8f1p-106,
         -0x1.a79394c9e8a0ap-53, -0x1.456737b06ea19p-107},
        {0x1.2d97c7f3321d2p+3, 0x1.a79394c9e8a0ap-52, 0x1.456737b06ea17p-106,
         -0x1.0000000000000p+0, 0x1.5e6c8563ba8f1p-104},
        {0x1.dd85a7410f58dp+4, -0x1.0000000000000p+0, 0x1.e7af31ebda1a7p-103,
         0x1.6156546afa570p-51, -0x1.588e182caf2b0p-105},
        {0x1.6c6cbc45dc8dep+5, 0x1.0000000000000p+0, -0x1.04bfe27f01e31p-122,
         -0x1.6d61b58c99c43p-61, 0x1.d8d2a16b7bd6ep-118},
        {0x1.6c6cbc45dc8dep+6, -0x1.6d61b58c99c43p-60, 0x1.d8d2a16b7bd6ep-117,
         -0x1.0000000000000p+0, 0x1.04bfe27f01e31p-120},
        {0x1.6c6cbc45dc8dep+7, 0x1.6d61b58c99c43p-59, -0x1.d8d2a16b7bd6ep-116,
         0x1.0000000000000p+0, -0x1.04bfe27f01e31p-118},
        {0x1.6c6cbc45dc8dep+8, 0x1.6d61b58c99c43p-58, -0x1.d8d2a16b7bd6ep-115,
         0x1.0000000000000p+0, -0x1.04bfe27f01e31p-116},
        {0x1.6c6cbc45dc8dep+9, 0x1.6d61b58c99c43p-57, -0x1.d8d2a16b7bd6ep-114,
         0x1.0000000000000p+0, -0x1.04bfe27f01e31p-114},
        {0x1.6c6cbc45dc8dep+10, 0x1.6d61b58c99c43p-56, -0x1.d8d2a16b7bd6ep-113,
         0x1.0000000000000p+0, -0x1.04bfe27f01e31p-112},
        {0x1.6c6cbc45dc8dep+11, 0x1.6d61b58c99c43p-55, -0x1.d8d2a16b7bd6ep-112,
         0x1.0000000000000p+0, -0x1.04bfe27f01e31p-110},
        {0x1.6c6cbc45dc8dep+12, 0x1.6d61b58c99c43p-54, -0x1.d8d2a16b7bd6fp-111,
         0x1.0000000000000p+0, -0x1.04bfe27f01e31p-108},
        {0x1.6c6cbc45dc8dep+13, 0x1.6d61b58c99c43p-53, -0x1.d8d2a16b7bd72p-110,
         0x1.0000000000000p+0, -0x1.04bfe27f01e31p-106},
        {0x1.635e3d74befcap+14, -0x1.0000000000000p+0, 0x1.542988ba47cc9p-106,
         -0x1.a15417e407485p-53, -0x1.d9ce695b750b5p-111},
        {0x1.67e57cdd4dc54p+15, -0x1.0000000000000p+0, 0x1.7fc169e1495c8p-107,
         0x1.396f53352c401p-53, -0x1.27a31de12c8d0p-108},
        {0x1.65a1dd290660fp+16, 0x1.0000000000000p+0, -0x1.094e1f9bc6defp-105,
         0x1.049c6e4971285p-52, -0x1.987a51f1fd8c1p-106},
        {0x1.bf9b3c6059d24p+17, 0x1.0000000000000p+0, -0x1.037fd51340866p-104,
         0x1.6c8132f84c309p-52, -0x1.ce17b8d75fe9dp-107},
        {0x1.39c6fd67805a7p+18, -0x1.0000000000000p+0, 0x1.46040ce74732ep-110,
         -0x1.988efe18ff83fp-55, -0x1.662d9427328d7p-109},
        {0x1.39c6fd67805a7p+19, 0x1.988efe18ff83fp-54, 0x1.662d9427328d7p-108,
         -0x1.0000000000000p+0, 0x1.46040ce74732ep-108},
        {0x1.9eb7148f354d6p+20, 0x1.0000000000000p+0, -0x1.a5be9400b55e5p-110,
         -0x1.d0afa32c646cap-55, -0x1.8a3e8edd44243p-111},
        {0x1.b951f1572eba5p+23, -0x1.0000000000000p+0, 0x1.ead7c8117d252p-120,
         -0x1.f54f5227a4e84p-60, 0x1.01b19345a7a1cp-118},
        {0x1.b951f1572eba5p+24, 0x1.f54f5227a4e84p-59, -0x1.01b19345a7a1cp-117,
         -0x1.0000000000000p+0, 0x1.ead7c8117d252p-118},
        {0x1.504cac51f1eafp+131, -0x1.0000000000000p+0, 0x1.1a0d9b854a60fp-119,
         -0x1.0cb604d34f341p-59, -0x1.2e51c38885849p-114},
        {0x1.e7e44a78ac18cp+197, -0x1.0000000000000p+0, 0x1.db326cef0cf6fp-118,
         0x1.ed415f54c8cb8p-59, 0x1.5cba91564eeafp-113},
        {0x1.c45cd11154dfdp+295, 0x1.0000000000000p+0, -0x1.02499e5a0504ep-117,
         0x1.01242876d7c1bp-58, -0x1.ece5331615d6fp-112},
        {0x1.4c96c11134d36p+577, -0x1.0000000000000p+0, 0x1.06be11f47cfe4p-118,
         0x1.6ec67bcf77522p-59, 0x1.2f2b3c334000bp-113},
        {0x1.db41f3cb71d7bp+680, 0x1.0000000000000p+0, -0x1.c31e0ff1efdcbp-118,
         0x1.e09878d22e29dp-59, 0x1.489d38b905beep-114},
        {0x1.6ac5b262ca1ffp+849, 0x1.0000000000000p+0, -0x1.2b089ea1e692bp-123,
         -0x1.14ae72e6ba22fp-61, 0x1.73eef1477d90ep-118},
        {0x1.6ac5b262ca1ffp+850, -0x1.14ae72e6ba22fp-60, 0x1.73eef1477d90ep-117,
         -0x1.0000000000000p+0, 0x1.2b089ea1e692bp-121},
        {0x1.6ac5b262ca1ffp+851, 0x1.14ae72e6ba22fp-59, -0x1.73eef1477d90ep-116,
         0x1.0000000000000p+0, -0x1.2b089ea1e692bp-119},
        {0x1.cfe482285f8edp+860, -0x1.0000000000000p+0, 0x1.a583fad47377ap-118,
         -0x1.d08f59c32bfa3p-59, 0x1.631f386c9740ep-114},
        {0x1.e009c53148be1p+991, 0x1.0000000000000p+0, -0x1.59627ccbae913p-119,
         0x1.295a3b0a64b1dp-59, 0x1.25276cf078901p-113},
        {0x1.61a3db8c8d129p+1021, -0x1.0000000000000p+0, 0x1.bc8d72aec1027p-116,
         -0x1.dd15f96b823f2p-58, 0x1.f7aebeb15929fp-117},
        {0x1.61a3db8c8d129p+1022, 0x1.dd15f96b823f2p-57, -0x1.f7aebeb15929fp-116,
         -0x1.0000000000000p+0, 0x1.bc8d72aec1027p-114},
        {0x1.61a3db8c8d129p+1023, -0x1.dd15f96b823f2p-56, 0x1.f7aebeb15929fp-115,
         0x1.0000000000000p+0, -0x1.bc8d72aec1027p-112},
        {0x1.0f0cf064dd592p+73, -0x1.b453ab76bf397p-1, -0x1.f453790772648p-58,
         0x1.0be2cef01c8f4p-1, -0x1.b2d1bc8018c4fp-55},
        {0x1.fffffffffffffp+1023, 0x1.452fc98b34e97p-8, -0x1.27bb193d960dfp-62,
         -0x1.fffe62ecfab75p-1, -0x1.e038d934070f1p-56},
        {0x1.3c083126e978dp+1000, -0x1.cbd4af0761a98p-1, -0x1.71ec0b03546c5p-55,
         0x1.c254e443b9586p-2, -0x1.1fc30e8b30634p-61},
        {0x1.4618413e2a651p+27, -0x1.1687f24e60d21p-1, -0x1.2e216eaf5d3dep-57,
         -0x1.ad9c129e05e5ap-1, 0x1.e7ca32dc216d4p-57},
        {0x1.554d55647ae14p+27, -0x1.d69f551821332p-3, 0x1.e0167299bf95ep-58,
         0x1.f24c5b0d538d3p-1, -0x1.efcd94e3edc19p-58},
    };
    double worst = 0.0;
    for (const Case& c : cases) {
        const double errors[] = {
            UlpErrorAgainst(Sine(c.x), c.sineHi, c.sineLo),
            UlpErrorAgainst(Sine(-c.x), -c.sineHi, -c.sineLo),
            UlpErrorAgainst(Cosine(c.x), c.cosineHi, c.cosineLo),
            UlpErrorAgainst(Cosine(-c.x), c.cosineHi, c.cosineLo),
        };
        for (double error : errors) {
            EXPECT_LE(error, 0.5) << std::hexfloat << c.x;
            if (error > worst) worst = error;
        }
    }
    std::printf("[hardest reductions] %zu arguments, max error %.3f ulp\n",
                sizeof cases / sizeof cases[0], worst);
}

TEST(Trig, SpecialValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double sNaN = std::numeric_limits<double>::signaling_NaN();
    for (double x : {inf, -inf, nan, -nan, sNaN}) {
        EXPECT_TRUE(std::isnan(Sine(x))) << x;
        EXPECT_TRUE(std::isnan(Cosine(x))) << x;
    }
    // Signed zero survives; tiny arguments give x and 1 exactly.
    for (double x : {0.0, -0.0, std::numeric_limits<double>::denorm_min(), -DBL_MIN, 0x1p-27}) {
        EXPECT_EQ(Bits(Sine(x)), Bits(x)) << x;
        EXPECT_EQ(Cosine(x), 1.0) << x;
    }
}

// Results must be bit-identical across platforms. This pins a fingerprint of every result the
// scene's argument families produce (recorded from this implementation on x86-64 Linux), so
// a build that evaluates differently -- x87 excess precision, contracted multiply-adds, a
// different compiler -- fails here even where no accurate host libm exists to compare with.
TEST(Trig, SceneResultsFingerprint) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    auto mix = [&hash](double v) {
        hash ^= Bits(v);
        hash *= 0x100000001b3u;
        hash ^= hash >> 29;
    };
    for (int n = 0; n < kSceneCount; ++n) {
        for (double x : {ScaleProgression(n), OffsetProgression(n),
                         ThroughFloat(ScaleProgression(n)), ThroughFloat(OffsetProgression(n))}) {
            mix(Sine(x));
            mix(Cosine(x));
        }
    }
    EXPECT_EQ(hash, 0x07c9c37028ed4f6cu) << std::hex << "fingerprint 0x" << hash;
}

}  // namespace
