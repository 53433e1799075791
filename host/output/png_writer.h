// Writing 0x00RRGGBB frames as 8-bit PNG files: RGB for the blue and black backgrounds, RGBA
// with straight alpha for the transparent one (see nimbrelle/picture.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "nimbrelle/picture.h"

namespace nimbrelle::host {

class PngWriter {
public:
    explicit PngWriter(picture::Background background = picture::Background::Blue) : background_(background) {}

    // Writes pixel (x, y) = pixels[y * pitch + x] for 0 <= x < width, 0 <= y < height. Throws
    // Error naming `shown` (the file the user asked for; `path` when empty) on any failure, a
    // full disk included; the file may then be partial (callers write to a temporary name).
    // Reuses its conversion buffer between calls.
    void Write(const std::filesystem::path& path, const uint32_t* pixels, int width, int height,
               int pitch, const std::filesystem::path& shown = {});

private:
    picture::Background background_;
    std::vector<uint32_t> converted_;  // the frame converted for the background, RGBA bytes
    std::vector<uint8_t> rgb_;         // the same without alpha, for an opaque PNG
};

}  // namespace nimbrelle::host
