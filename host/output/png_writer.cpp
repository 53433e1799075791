#include "output/png_writer.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "base/error.h"

namespace nimbrelle::host {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

void PngWriter::Write(const std::filesystem::path& path, const uint32_t* pixels, int width,
                      int height, int pitch, const std::filesystem::path& shown)
{
    const std::string name = Quoted((shown.empty() ? path : shown).string());
    const auto w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
    rgb_.resize(w * h * 3);
    for (std::size_t y = 0; y < h; ++y) {
        const uint32_t* row = pixels + static_cast<std::ptrdiff_t>(y) * pitch;
        uint8_t* out = rgb_.data() + y * w * 3;
        for (std::size_t x = 0; x < w; ++x) {
            const uint32_t p = row[x];
            out[3 * x] = static_cast<uint8_t>(p >> 16);
            out[3 * x + 1] = static_cast<uint8_t>(p >> 8);
            out[3 * x + 2] = static_cast<uint8_t>(p);
        }
    }

    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        throw Error("cannot create " + name + ": " + ErrnoText(errno));
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    image.flags = PNG_IMAGE_FLAG_FAST;  // favour speed over size: frames are intermediates
    errno = 0;
    const int ok = png_image_write_to_stdio(&image, file.get(), 0, rgb_.data(), 0, nullptr);
    const int writeErrno = errno;
    if (ok == 0) {
        const std::string reason = std::ferror(file.get()) != 0 && writeErrno != 0
                                       ? ErrnoText(writeErrno)
                                       : std::string(image.message);
        png_image_free(&image);
        throw Error("cannot write " + name + ": " + reason);
    }
    errno = 0;
    const bool flushed = std::fflush(file.get()) == 0 && std::ferror(file.get()) == 0;
    const int flushErrno = errno;
    const bool closed = std::fclose(file.release()) == 0;
    if (!flushed || !closed) {
        const int err = flushErrno != 0 ? flushErrno : errno;
        throw Error("cannot write " + name + ": " +
                    (err != 0 ? ErrnoText(err) : std::string("write error")));
    }
}

}  // namespace nimbrelle::host
