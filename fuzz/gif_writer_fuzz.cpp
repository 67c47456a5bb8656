// The GIF writer with the quantizer and the LZW encoder over arbitrary pictures: giflib decodes
// every file; a picture of at most 256 colours comes back exact, a one-bit file is black and
// white and keeps a two-colour picture's colours apart, and the same picture always gives the
// same bytes.
#include "fuzz/fuzz_check.h"
#include "imageio/bitmap.h"
#include "imageio/gif_writer.h"
#include "imageio/image_io.h"

#include "tests/imageio/gif_test_support.h"

#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace {

std::vector<uint8_t> Write(TIOBitmap& picture, bool interlaced, int bits) {
    TIOParamsVals params;
    params.GifInterlaced = interlaced;
    params.BitsPerSample = bits;
    TIOMemoryStream stream;
    uint8_t abort = 0;
    TIOProgressRecord progress;
    progress.AbortFlag = &abort;
    WriteGifImage(stream, picture, params, progress);
    FUZZ_CHECK(abort == 0);
    return stream.Data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const int width = 1 + data[0] % 64;
    const int height = 1 + data[1] % 64;
    const bool interlaced = data[2] & 1;
    const bool oneBit = data[2] & 2;
    const int levels = 2 + data[3] % 14;  // channel values per colour: few or many colours
    const uint8_t* pixels = data + 4;
    const size_t pixelBytes = size - 4;

    TIOBitmap picture;
    if (!picture.Allocate(width, height, io24RGB)) return 0;
    std::set<uint32_t> colours;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = picture.ScanLine(y) + x * 3;
            for (int c = 0; c < 3; ++c) {
                const size_t at = (static_cast<size_t>(y) * width + x) * 3 + c;
                const uint8_t v = at < pixelBytes ? pixels[at] : uint8_t(x * 29 + y * 17 + c * 5);
                p[c] = static_cast<uint8_t>(v % levels * 255 / (levels - 1));
            }
            colours.insert(p[0] | p[1] << 8 | p[2] << 16);
        }

    const std::vector<uint8_t> file = Write(picture, interlaced, oneBit ? 1 : 8);
    FUZZ_CHECK(Write(picture, interlaced, oneBit ? 1 : 8) == file);

    const auto decoded = giftest::DecodeGif(file);
    FUZZ_CHECK(decoded.has_value());
    FUZZ_CHECK(decoded->width == width && decoded->height == height);
    FUZZ_CHECK(decoded->interlaced == interlaced);
    // One bit: a black and white table; a two-colour picture keeps its two colours apart.
    const bool exact = !oneBit && colours.size() <= 256;
    std::map<uint32_t, uint8_t> indexOf;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint8_t index = decoded->indices[static_cast<size_t>(y) * width + x];
            FUZZ_CHECK(index < decoded->palette.size());
            const uint8_t* source = picture.ScanLine(y) + x * 3;
            const uint32_t colour = source[0] | source[1] << 8 | source[2] << 16;
            if (oneBit && colours.size() == 2) FUZZ_CHECK(indexOf.emplace(colour, index).first->second == index);
            if (exact) {
                const TIOColorBGR got = decoded->PixelColour(x, y);
                const uint8_t* p = picture.ScanLine(y) + x * 3;
                FUZZ_CHECK(got.B == p[0] && got.G == p[1] && got.R == p[2]);
            }
        }
    if (oneBit) {
        FUZZ_CHECK(decoded->palette.size() >= 2);
        FUZZ_CHECK(decoded->palette[0] == RGBColor(0, 0, 0) && decoded->palette[1] == RGBColor(255, 255, 255));
        if (colours.size() == 2) FUZZ_CHECK(indexOf.size() == 2 && indexOf.begin()->second != indexOf.rbegin()->second);
    }
    return 0;
}
