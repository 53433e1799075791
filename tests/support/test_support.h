// Shared helpers for the module's tests: a private seeded generator, output hashing and
// canvases with guard words around the visible area.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nimbrelle/module.h"

namespace nimbrelle::test {

// splitmix64: the same sequence on every platform and standard library.
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed) {}
    uint64_t Next();
    // Uniform in [0, n) (n > 0; the tiny modulo bias does not matter here).
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
    // Uniform in [lo, hi).
    double Range(double lo, double hi);
};

// FNV-1a, 64 bits.
uint64_t Fnv1a(const void* data, std::size_t bytes, uint64_t hash = 0xcbf29ce484222325ull);

// A host buffer of `height` rows of `pitch` words (pitch >= width), with guard rows above and
// below and spare words right of each row. Guards and spare words are filled with a
// recognisable pattern that drawing must never touch.
struct GuardedCanvas {
    static constexpr uint32_t GuardWord = 0xDEADBEEF;
    static constexpr int GuardRows = 4;
    int width, height, pitch;
    std::vector<uint32_t> storage;

    GuardedCanvas(int w, int h, int p, uint32_t fill = 0);
    uint32_t* Pixels() { return storage.data() + GuardRows * pitch; }
    const uint32_t* Pixels() const { return storage.data() + GuardRows * pitch; }
    uint32_t& At(int x, int y) { return Pixels()[y * pitch + x]; }
    uint32_t At(int x, int y) const { return Pixels()[y * pitch + x]; }
    // Binds the visible area as the module's canvas.
    void Bind();
    // True when every guard and spare word still holds GuardWord.
    bool GuardsIntact() const;
    // Hash of the whole buffer, guards and spare words included.
    uint64_t Hash() const { return Fnv1a(storage.data(), storage.size() * sizeof(uint32_t)); }
    // Number of visible pixels that differ from `value`.
    int CountNot(uint32_t value) const;
};

// Writes the visible area as a binary PPM when NIMBRELLE_DUMP_DIR is set (for looking at
// frames by eye); does nothing otherwise.
void DumpFrame(const GuardedCanvas& canvas, const std::string& name);

// FrameData with every byte of both blocks set to `level`.
FrameData UniformFrame(uint8_t level);

}  // namespace nimbrelle::test
