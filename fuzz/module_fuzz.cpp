// Feeds the module arbitrary call sequences, canvas sizes, signal records and primitive
// arguments, and checks that nothing is written outside the visible canvas. Built with
// clang's libFuzzer together with AddressSanitizer and UndefinedBehaviorSanitizer.
//
// Input: a sequence of commands, each an opcode byte followed by its argument bytes.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nimbrelle/module.h"
#include "raster/raster.h"

namespace {

using namespace nimbrelle;

constexpr uint32_t GuardWord = 0xDEADBEEF;
constexpr int GuardRows = 2;

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool Empty() const { return pos >= size; }
    uint8_t Byte() { return pos < size ? data[pos++] : 0; }
    uint32_t Word()
    {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= uint32_t{Byte()} << (8 * i);
        return w;
    }
    // Any float, NaN and infinities included, with finite values kept within +-1e5 so that a
    // walk or a stamp stays a reasonable size.
    float Float()
    {
        float f;
        const uint32_t w = Word();
        std::memcpy(&f, &w, sizeof f);
        if (std::isfinite(f) && std::fabs(f) > 1e5f) f = std::fmod(f, 1e5f);
        return f;
    }
};

// A canvas with guard rows above and below and spare words right of each row.
struct Buffer {
    int width, height, pitch;
    bool bottomUp;
    std::vector<uint32_t> words;

    Buffer(int w, int h, int spare, bool up)
        : width(w), height(h), pitch(w + spare), bottomUp(up),
          words(static_cast<size_t>((h + 2 * GuardRows) * (w + spare)), GuardWord)
    {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) words[static_cast<size_t>((y + GuardRows) * pitch + x)] = 0;
    }
    uint32_t* Origin() { return words.data() + (bottomUp ? (GuardRows + height - 1) * pitch : GuardRows * pitch); }
    int32_t Pitch() const { return bottomUp ? -pitch : pitch; }
    void Check() const
    {
        for (int row = 0; row < height + 2 * GuardRows; ++row) {
            const bool visible = row >= GuardRows && row < GuardRows + height;
            for (int x = visible ? width : 0; x < pitch; ++x)
                if (words[static_cast<size_t>(row * pitch + x)] != GuardWord) std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    const ModuleDescriptor& module = *QueryModule();
    Buffer buffer(1 + in.Byte() % 200, 1 + in.Byte() % 150, in.Byte() % 4, (in.Byte() & 1) != 0);
    FrameData frame{};
    int commands = 0;
    while (!in.Empty() && ++commands < 64) {
        switch (in.Byte() % 9) {
        case 0: module.init(); break;
        case 1:  // render with the current signal record
            module.render(buffer.Origin(), buffer.width, buffer.height, buffer.Pitch(), &frame);
            break;
        case 2: {  // change some signal levels
            const int n = in.Byte() % 16;
            for (int i = 0; i < n; ++i) reinterpret_cast<uint8_t*>(&frame)[4 + in.Word() % 1536] = in.Byte();
            break;
        }
        case 3: std::memset(frame.blockA, in.Byte(), sizeof frame.blockA + sizeof frame.blockB); break;
        case 4: module.render(nullptr, buffer.width, buffer.height, buffer.Pitch(), &frame); break;
        case 5: {  // a frame with a claimed size smaller than the buffer (never larger)
            const int w = static_cast<int>(in.Byte() % (buffer.width + 1)) - (in.Byte() % 8 == 0 ? 300 : 0);
            const int h = static_cast<int>(in.Byte() % (buffer.height + 1));
            module.render(buffer.Origin(), w, h, buffer.Pitch(), &frame);
            break;
        }
        case 6: {
            BindCanvas(buffer.Origin(), buffer.width, buffer.height, buffer.Pitch());
            const float x1 = in.Float(), y1 = in.Float(), x2 = in.Float(), y2 = in.Float();
            const float rA = in.Float(), gA = in.Float(), bA = in.Float();
            DrawFadeLine(x1, y1, x2, y2, rA, gA, bA, in.Float(), in.Float(), in.Float());
            break;
        }
        case 7: {
            BindCanvas(buffer.Origin(), buffer.width, buffer.height, buffer.Pitch());
            const auto x = static_cast<int32_t>(in.Word()), y = static_cast<int32_t>(in.Word());
            float size = in.Float();
            if (std::isfinite(size)) size = std::fmod(size, 600.0f);
            BlitGlow(x, y, size, activeGlow, in.Float());
            break;
        }
        case 8: {
            BindCanvas(buffer.Origin(), buffer.width, buffer.height, buffer.Pitch());
            const float x = in.Float(), y = in.Float(), r = in.Float(), g = in.Float();
            SplatPoint(x, y, r, g, in.Float());
            const auto px = static_cast<int32_t>(in.Word()), py = static_cast<int32_t>(in.Word());
            AddPixel(px, py, static_cast<int32_t>(in.Word()), static_cast<int32_t>(in.Word()),
                     static_cast<int32_t>(in.Word()));
            break;
        }
        }
        buffer.Check();
    }
    return 0;
}
