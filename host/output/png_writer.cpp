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
    converted_.resize(w * h);
    picture::ConvertFrame(background_, picture::Order::Rgba, pixels, pitch, converted_.data(), width, width, height);
    const bool alpha = background_ == picture::Background::Transparent;
    const void* bytes = converted_.data();
    if (!alpha) {
        // R, G, B of every R, G, B, A.
        rgb_.resize(w * h * 3);
        const auto* rgba = reinterpret_cast<const uint8_t*>(converted_.data());
        for (std::size_t i = 0; i < w * h; ++i) {
            rgb_[3 * i] = rgba[4 * i];
            rgb_[3 * i + 1] = rgba[4 * i + 1];
            rgb_[3 * i + 2] = rgba[4 * i + 2];
        }
        bytes = rgb_.data();
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
    image.format = alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    image.flags = PNG_IMAGE_FLAG_FAST;  // favour speed over size: frames are intermediates
    errno = 0;
    const int ok = png_image_write_to_stdio(&image, file.get(), 0, bytes, 0, nullptr);
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
