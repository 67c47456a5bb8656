// The BMP writer over arbitrary pictures and parameters: the file is as long as its header says,
// uncompressed files follow the size formula, and Qt's reader decodes it back pixel-exact where
// the depth can hold the picture (24 and 32 bits always; 8, 4 and 1 bits when the picture has
// no more colours than the palette), otherwise into colours of the written palette.
#include "fuzz/fuzz_check.h"
#include "imageio/bitmap.h"
#include "imageio/bmp_writer.h"
#include "imageio/image_io.h"

#include <QImage>

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

namespace {

uint32_t LE32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    const int width = 1 + data[0] % 48;
    const int height = 1 + data[1] % 48;
    const int mode = data[2] % 5;            // 24, 32 with alpha, 8, 4 or 1 bits out
    const uint8_t headerKind = data[3] % 4;  // 0..3
    const uint8_t compression = data[4] % 2;
    const int colourBits = 1 + data[5] % 8;  // how many distinct values a channel takes
    const uint8_t* pixels = data + 6;
    const size_t pixelBytes = size - 6;

    TIOBitmap source;
    if (!source.Allocate(width, height, io24RGB)) return 0;
    const int step = 255 / ((1 << (colourBits > 3 ? 3 : colourBits)) - 1);
    std::set<uint32_t> colours;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = source.ScanLine(y) + x * 3;
            for (int c = 0; c < 3; ++c) {
                const size_t at = (static_cast<size_t>(y) * width + x) * 3 + c;
                const uint8_t v = at < pixelBytes ? pixels[at] : uint8_t(x * 13 + y * 7 + c);
                p[c] = colourBits > 3 ? v : static_cast<uint8_t>((v % (1 << colourBits)) * step % 256);
            }
            colours.insert(p[0] | p[1] << 8 | p[2] << 16);
        }

    TIOParamsVals params;
    params.BmpHeaderKind = headerKind;
    params.BmpCompression = compression;
    bool writeAlpha = false;
    switch (mode) {
    case 1:
        writeAlpha = true;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) source.AlphaChannel().ScanLine(y)[x] = uint8_t(x * 31 + y);
        break;
    case 2: params.SamplesPerPixel = 1; break;
    case 3: params.BitsPerSample = 4; break;
    case 4: params.BitsPerSample = 1; break;
    default: break;
    }
    const int depth = mode == 0 ? 24 : mode == 1 ? 32 : mode == 2 ? 8 : mode == 3 ? 4 : 1;

    TIOMemoryStream stream;
    uint8_t abort = 0;
    TIOProgressRecord progress;
    progress.AbortFlag = &abort;
    WriteBmp(stream, source, params, writeAlpha, progress);
    FUZZ_CHECK(abort == 0);
    const std::vector<uint8_t>& file = stream.Data();
    FUZZ_CHECK(file.size() >= 26 && file[0] == 'B' && file[1] == 'M');
    FUZZ_CHECK(LE32(file, 2) == file.size());
    const uint32_t headerSize = LE32(file, 14);
    const bool rle = compression == 1 && (depth == 8 || depth == 4) && headerKind != 2;
    if (!rle) {
        const uint32_t paletteEntry = headerKind == 2 ? 3 : 4;
        const uint32_t palette = depth <= 8 ? (1u << depth) * paletteEntry : 0;
        const uint64_t row = ((static_cast<uint64_t>(width) * depth + 31) / 32) * 4;
        FUZZ_CHECK(file.size() == 14 + headerSize + palette + row * height);
    }

    QImage decoded;
    FUZZ_CHECK(decoded.loadFromData(file.data(), static_cast<int>(file.size()), "BMP"));
    FUZZ_CHECK(decoded.width() == width && decoded.height() == height);
    const size_t paletteSize = depth == 8 ? 256 : depth == 4 ? 16 : 2;
    const bool exact = depth >= 24 || colours.size() <= paletteSize;
    std::set<uint32_t> written;
    for (int i = 0; i < params.ColorMapCount; ++i)
        written.insert(params.ColorMap[i].B | params.ColorMap[i].G << 8 | params.ColorMap[i].R << 16);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const QRgb got = decoded.pixel(x, y);
            const uint8_t* p = source.ScanLine(y) + x * 3;
            if (exact && depth != 1) {
                FUZZ_CHECK(qBlue(got) == p[0] && qGreen(got) == p[1] && qRed(got) == p[2]);
            } else if (depth <= 8) {
                FUZZ_CHECK(written.count(qBlue(got) | qGreen(got) << 8 | qRed(got) << 16) == 1);
            }
        }
    return 0;
}
