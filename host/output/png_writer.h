// Writing 0x00RRGGBB frames as 8-bit RGB PNG files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace nimbrelle::host {

class PngWriter {
public:
    // Writes pixel (x, y) = pixels[y * pitch + x] for 0 <= x < width, 0 <= y < height. Throws
    // Error naming `shown` (the file the user asked for; `path` when empty) on any failure, a
    // full disk included; the file may then be partial (callers write to a temporary name).
    // Reuses its conversion buffer between calls.
    void Write(const std::filesystem::path& path, const uint32_t* pixels, int width, int height,
               int pitch, const std::filesystem::path& shown = {});

private:
    std::vector<uint8_t> rgb_;
};

}  // namespace nimbrelle::host
