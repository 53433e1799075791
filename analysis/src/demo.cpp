#include "nimbrelle/analysis/demo.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace nimbrelle::analysis {
namespace {

constexpr double TwoPi = 2.0 * std::numbers::pi;
constexpr double Beat = 0.5;  // seconds, 120 beats per minute
constexpr double Bar = 4 * Beat;

// Uniform noise in [-1, 1] as a pure function of (index, salt): splitmix64 of the pair.
double Noise(int64_t index, uint64_t salt)
{
    uint64_t z = static_cast<uint64_t>(index) * 0x9e3779b97f4a7c15ull + salt;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

double NoteHz(int midi)
{
    return 440.0 * std::pow(2.0, (midi - 69) / 12.0);
}

struct Chord {
    std::array<int, 3> tones;  // MIDI notes of the pad
    int bassRoot;              // MIDI note of the bass
};
// Am F C G, one per bar.
constexpr std::array<Chord, 4> Progression{{
    {{57, 60, 64}, 33},
    {{53, 57, 60}, 29},
    {{55, 60, 64}, 36},
    {{55, 59, 62}, 31},
}};

// A kick drum `tau` seconds after its hit: a sine sweeping 150 Hz -> 45 Hz.
double Kick(double tau)
{
    if (tau < 0.0 || tau >= Beat) return 0.0;
    const double phase = TwoPi * (45.0 * tau + 105.0 * 0.035 * (1.0 - std::exp(-tau / 0.035)));
    const double envelope = std::exp(-tau / 0.16) * (1.0 - tau / Beat);
    return std::sin(phase) * envelope;
}

double Snare(double tau, int64_t i)
{
    if (tau < 0.0) return 0.0;
    return 0.55 * Noise(i, 11) * std::exp(-tau / 0.11) + 0.45 * std::sin(TwoPi * 185.0 * tau) * std::exp(-tau / 0.07);
}

// High-passed noise (a first difference) with a short decay.
double Hat(double tau, int64_t i)
{
    if (tau < 0.0) return 0.0;
    return 0.5 * (Noise(i, 23) - Noise(i - 1, 23)) * std::exp(-tau / 0.028);
}

// A plucked bass note: three harmonics, 5 ms attack.
double Bass(double tau, double hz, double brightness)
{
    const double x = TwoPi * hz * tau;
    const double envelope = std::min(1.0, tau / 0.005) * std::exp(-tau / 0.22);
    return envelope * (std::sin(x) + brightness * (0.5 * std::sin(2 * x) + 0.33 * std::sin(3 * x)));
}

// A pad chord held through the bar, with a slight detune that differs between the channels.
double Pad(double t, double tauBar, const Chord& chord, double detune)
{
    const double envelope = std::min(1.0, tauBar / 0.3) * std::min(1.0, (Bar - tauBar) / 0.12);
    double sum = 0.0;
    for (int note : chord.tones) {
        const double hz = NoteHz(note);
        sum += std::sin(TwoPi * hz * t) + 0.6 * std::sin(TwoPi * hz * detune * t);
    }
    return envelope * sum / 4.8;
}

// An arpeggio note: sixteenths over the chord, one or two octaves up.
double Arp(double tau, double hz)
{
    const double x = TwoPi * hz * tau;
    const double envelope = std::min(1.0, tau / 0.003) * std::exp(-tau / 0.07);
    return envelope * (std::sin(x) + 0.25 * std::sin(3 * x));
}

}  // namespace

std::vector<float> SynthesiseDemo(int sampleRate)
{
    const auto total = static_cast<int64_t>(DemoSeconds * sampleRate);
    std::vector<float> out(static_cast<std::size_t>(total) * 2);
    const double rate = sampleRate;

    for (int64_t i = 0; i < total; ++i) {
        const double t = static_cast<double>(i) / rate;
        const int bar = static_cast<int>(t / Bar);
        const double tauBar = t - bar * Bar;
        const int beat = std::min(3, static_cast<int>(tauBar / Beat));
        const double tauBeat = tauBar - beat * Beat;
        const int eighth = std::min(7, static_cast<int>(tauBar / (Beat / 2)));
        const double tauEighth = tauBar - eighth * (Beat / 2);
        const int sixteenth = std::min(15, static_cast<int>(tauBar / (Beat / 4)));
        const double tauSixteenth = tauBar - sixteenth * (Beat / 4);
        const Chord& chord = Progression[static_cast<std::size_t>(bar % 4)];

        const bool intro = bar < 2, groove = bar >= 2 && bar < 6, pause = bar >= 6 && bar < 8;
        const bool drop = bar >= 8 && bar < 14, outro = bar >= 14;

        double left = 0.0, right = 0.0;
        auto both = [&](double v, double pan) {  // pan -1 (left) .. 1 (right)
            left += v * (1.0 - std::max(0.0, pan));
            right += v * (1.0 + std::min(0.0, pan));
        };

        // Pads: quiet in the intro and the break, fuller in the loud part.
        const double padLevel = intro ? 0.06 : pause ? 0.08 : drop ? 0.16 : groove ? 0.11 : 0.14;
        const double fade = outro ? std::max(0.0, 1.0 - tauBar / Bar) : 1.0;
        left += padLevel * fade * Pad(t, tauBar, chord, 1.004);
        right += padLevel * fade * Pad(t, tauBar, chord, 0.996);

        if (groove || drop) {
            both((drop ? 0.75 : 0.5) * Kick(tauBeat), 0.0);
            const double bassHz = NoteHz(chord.bassRoot + ((eighth % 4 == 3) ? 12 : 0));
            both((drop ? 0.32 : 0.22) * Bass(tauEighth, bassHz, drop ? 1.0 : 0.4), 0.0);
            if (groove && eighth % 2 == 1) both(0.10 * Hat(tauEighth, i), 0.3);
        }
        if (drop) {
            if (beat % 2 == 1) both(0.30 * Snare(tauBeat, i), -0.1);
            both((sixteenth % 2 == 1 ? 0.10 : 0.06) * Hat(tauSixteenth, i), 0.35);
            static constexpr std::array<int, 4> Pattern{0, 1, 2, 1};
            const int note = chord.tones[static_cast<std::size_t>(Pattern[static_cast<std::size_t>(sixteenth % 4)])] + 12;
            both(0.09 * Arp(tauSixteenth, NoteHz(note)), (sixteenth % 2 == 0) ? -0.5 : 0.5);
        }
        if (pause) {
            static constexpr std::array<int, 4> Pattern{0, 2, 1, 2};
            const int note = chord.tones[static_cast<std::size_t>(Pattern[static_cast<std::size_t>(sixteenth % 4)])] + 12;
            both(0.035 * Arp(tauSixteenth, NoteHz(note)), (sixteenth % 2 == 0) ? -0.6 : 0.6);
            if (bar == 7) both(0.18 * (tauBar / Bar) * (tauBar / Bar) * Noise(i, 37), 0.0);
        }
        if (outro && beat == 0) both(0.6 * fade * Kick(tauBeat), 0.0);

        // A gentle saturation keeps the loud part under full scale without hard clipping.
        out[static_cast<std::size_t>(2 * i)] = static_cast<float>(std::tanh(left));
        out[static_cast<std::size_t>(2 * i + 1)] = static_cast<float>(std::tanh(right));
    }
    return out;
}

std::unique_ptr<AudioSource> MakeDemoSource(int sampleRate)
{
    return std::make_unique<MemorySource>(SynthesiseDemo(sampleRate), sampleRate, "the demo signal");
}

}  // namespace nimbrelle::analysis
