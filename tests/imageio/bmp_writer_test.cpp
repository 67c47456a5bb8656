// Tests of the BMP writer: header bytes worked out by hand, files decoded by Qt's reader with
// exact pixels, the run-length encodings, short writes, progress and abort.
#include "imageio/bmp_writer.h"

#include "imageio/errors.h"
#include "imageio/image_io.h"

#include <QByteArray>
#include <QImage>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace {

using ColourAt = std::function<TIOColorBGR(int x, int y)>;

uint32_t LE32(const std::vector<uint8_t>& d, size_t offset) {
    return static_cast<uint32_t>(d.at(offset)) | static_cast<uint32_t>(d.at(offset + 1)) << 8 |
           static_cast<uint32_t>(d.at(offset + 2)) << 16 | static_cast<uint32_t>(d.at(offset + 3)) << 24;
}

uint16_t LE16(const std::vector<uint8_t>& d, size_t offset) {
    return static_cast<uint16_t>(d.at(offset) | d.at(offset + 1) << 8);
}

// A 24-bit buffer in memory; padding bytes are cleared so the file bytes are fully known.
std::unique_ptr<TIOBitmap> MakeRgb(int width, int height, const ColourAt& colour) {
    auto bitmap = std::make_unique<TIOBitmap>();
    bitmap->SetLocation(ioMemory);
    EXPECT_TRUE(bitmap->Allocate(width, height, io24RGB));
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bitmap->ScanLine(y);
        std::fill(row, row + bitmap->RowLength(), 0);
        for (int x = 0; x < width; ++x) {
            const TIOColorBGR c = colour(x, y);
            row[3 * x] = c.B;
            row[3 * x + 1] = c.G;
            row[3 * x + 2] = c.R;
        }
    }
    return bitmap;
}

// Sixteen colours, none of them grey, so a quantizer keeps them exactly.
TIOColorBGR SmallPaletteColour(int i) {
    static const std::array<TIOColorBGR, 16> kColours{
        RGBColor(200, 30, 40),  RGBColor(20, 180, 60),  RGBColor(30, 40, 220),  RGBColor(250, 250, 10),
        RGBColor(10, 240, 250), RGBColor(250, 20, 250), RGBColor(128, 64, 0),   RGBColor(0, 64, 128),
        RGBColor(64, 0, 128),   RGBColor(90, 200, 120), RGBColor(255, 128, 0),  RGBColor(1, 2, 3),
        RGBColor(254, 253, 250), RGBColor(70, 80, 90), RGBColor(150, 100, 50), RGBColor(33, 99, 66)};
    return kColours[static_cast<size_t>(i) % kColours.size()];
}

// Three zones per row: one colour (long runs), pairs (runs of two), every pixel different.
ColourAt Zones(int width, int colours) {
    return [width, colours](int x, int y) {
        int i;
        if (x < width / 3)
            i = y;
        else if (x < 2 * width / 3)
            i = x / 2 + y;
        else
            i = x + y;
        return SmallPaletteColour(i % colours);
    };
}

struct Written {
    std::vector<uint8_t> bytes;
    uint8_t abort = 0;
};

Written WriteToMemory(TIOBitmap& bitmap, TIOParamsVals& params, bool writeAlpha = false) {
    TIOMemoryStream stream;
    Written result;
    TIOProgressRecord progress;
    progress.AbortFlag = &result.abort;
    WriteBmp(stream, bitmap, params, writeAlpha, progress);
    EXPECT_EQ(stream.Position(), stream.Size()) << "the stream ends at the end of the pixel data";
    result.bytes = stream.Data();
    return result;
}

QImage Decode(const std::vector<uint8_t>& bytes) {
    QImage image;
    image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()), "BMP");
    return image;
}

void ExpectPixels(const QImage& image, int width, int height, const ColourAt& colour) {
    ASSERT_FALSE(image.isNull()) << "Qt could not read the file";
    ASSERT_EQ(image.width(), width);
    ASSERT_EQ(image.height(), height);
    int mismatches = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const QRgb got = image.pixel(x, y);
            const TIOColorBGR want = colour(x, y);
            if (qRed(got) != want.R || qGreen(got) != want.G || qBlue(got) != want.B) {
                if (++mismatches <= 5)
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << qRed(got) << "," << qGreen(got)
                                  << "," << qBlue(got) << ", want " << int(want.R) << "," << int(want.G) << ","
                                  << int(want.B);
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

// A progress handler that records every percentage and can raise the abort flag at one of them.
class RecordingIO : public TImageIO {
public:
    void DoProgress(void* sender, int percent) override {
        EXPECT_EQ(sender, this);
        percents.push_back(percent);
        if (abortAt >= 0 && percent >= abortAt) AbortRequested = 1;
    }
    std::vector<int> percents;
    int abortAt = -1;
};

TIOProgressRecord RecordFor(RecordingIO& io) {
    TIOProgressRecord progress;
    progress.Handler = &io;
    progress.Sender = &io;
    progress.AbortFlag = &io.AbortRequested;
    return progress;
}

// The header fields that stay zero until the data is complete.
void ExpectIncompleteHeaders(const std::vector<uint8_t>& d) {
    if (d.size() >= 6) {
        EXPECT_EQ(LE32(d, 2), 0u) << "file size";
    }
    if (d.size() >= 14) {
        EXPECT_EQ(LE32(d, 10), 0u) << "pixel data offset";
    }
    if (d.size() >= 30) {
        EXPECT_EQ(LE16(d, 28), 0u) << "bits per pixel";
    }
    if (d.size() >= 38) {
        EXPECT_EQ(LE32(d, 34), 0u) << "image size";
    }
}

TEST(BmpWriterTest, OnePixelFileIsByteExact) {
    auto bitmap = MakeRgb(1, 1, [](int, int) { return RGBColor(0x33, 0x22, 0x11); });
    TIOParamsVals params;
    const Written w = WriteToMemory(*bitmap, params);
    const std::vector<uint8_t> expected{
        'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,   // file header: size 58, pixels at 54
        40, 0, 0, 0,                                      // header size
        1, 0, 0, 0, 1, 0, 0, 0,                           // width, height
        1, 0, 24, 0,                                      // planes, bits per pixel
        0, 0, 0, 0,                                       // no compression
        4, 0, 0, 0,                                       // image size: one row of 4 bytes
        0x23, 0x2E, 0, 0, 0x23, 0x2E, 0, 0,               // 11811 pixels per metre from 300 dpi
        0, 0, 0, 0,                                       // colours used
        0, 0, 0, 1,                                       // important colours: 16777216
        0x11, 0x22, 0x33, 0};                             // B, G, R, padding
    EXPECT_EQ(w.bytes, expected);
    EXPECT_EQ(w.abort, 0);
    EXPECT_EQ(params.ColorMapCount, 0) << "24-bit output leaves the parameters alone";
}

// The program's files: a 24-bit thumbnail in a platform bitmap, default parameters.
struct ThumbnailCase {
    int side;
    uint32_t rowLength;
    uint32_t fileSize;
};
void PrintTo(const ThumbnailCase& c, std::ostream* os) { *os << c.side << " x " << c.side; }

class BmpThumbnailTest : public ::testing::TestWithParam<ThumbnailCase> {};

TEST_P(BmpThumbnailTest, HeaderFieldsAndPixels) {
    const ThumbnailCase c = GetParam();
    const ColourAt colour = [](int x, int y) {
        return RGBColor(static_cast<uint8_t>(x * 2), static_cast<uint8_t>(y * 2), static_cast<uint8_t>(x ^ y));
    };
    TBitmap platform;
    platform.SetSize(c.side, c.side);
    for (int y = 0; y < c.side; ++y)
        for (int x = 0; x < c.side; ++x) platform.FillRect(x, y, x + 1, y + 1, colour(x, y));
    TIOBitmap bitmap;
    bitmap.BindPlatformBitmap(&platform, false);
    TIOParamsVals params;
    const Written w = WriteToMemory(bitmap, params);

    const std::vector<uint8_t>& d = w.bytes;
    ASSERT_EQ(d.size(), c.fileSize);
    EXPECT_EQ(d[0], 'B');
    EXPECT_EQ(d[1], 'M');
    EXPECT_EQ(LE32(d, 2), c.fileSize);
    EXPECT_EQ(LE32(d, 6), 0u);
    EXPECT_EQ(LE32(d, 10), 54u);
    EXPECT_EQ(LE32(d, 14), 40u);
    EXPECT_EQ(LE32(d, 18), static_cast<uint32_t>(c.side));
    EXPECT_EQ(LE32(d, 22), static_cast<uint32_t>(c.side));
    EXPECT_EQ(LE16(d, 26), 1);
    EXPECT_EQ(LE16(d, 28), 24);
    EXPECT_EQ(LE32(d, 30), 0u);
    EXPECT_EQ(LE32(d, 34), c.rowLength * static_cast<uint32_t>(c.side));
    EXPECT_EQ(LE32(d, 38), 11811u);
    EXPECT_EQ(LE32(d, 42), 11811u);
    EXPECT_EQ(LE32(d, 46), 0u);
    EXPECT_EQ(LE32(d, 50), 16777216u);
    // Bottom row first: the file's first pixel is the picture's bottom-left one.
    const TIOColorBGR bottomLeft = colour(0, c.side - 1);
    EXPECT_EQ(d[54], bottomLeft.B);
    EXPECT_EQ(d[55], bottomLeft.G);
    EXPECT_EQ(d[56], bottomLeft.R);
    ExpectPixels(Decode(d), c.side, c.side, colour);
}

INSTANTIATE_TEST_SUITE_P(Sides, BmpThumbnailTest,
                         ::testing::Values(ThumbnailCase{96, 288, 27702}, ThumbnailCase{53, 160, 8534},
                                           ThumbnailCase{52, 156, 8166}, ThumbnailCase{256, 768, 196662}));

TEST(BmpWriterTest, ResolutionFieldsFollowTheDpi) {
    struct Case { int dpi; uint32_t perMetre; };
    for (const Case c : {Case{300, 11811}, Case{72, 2835}, Case{0, 0}, Case{96, 3780}}) {
        auto bitmap = MakeRgb(2, 2, [](int, int) { return RGBColor(1, 2, 3); });
        TIOParamsVals params;
        params.HorizontalDpi = c.dpi;
        params.VerticalDpi = 300;
        const Written w = WriteToMemory(*bitmap, params);
        EXPECT_EQ(LE32(w.bytes, 38), c.perMetre) << c.dpi << " dpi";
        EXPECT_EQ(LE32(w.bytes, 42), 11811u);
    }
    EXPECT_EQ(BmpPixelsPerMetre(-72), -2835);
    EXPECT_EQ(BmpPixelsPerMetre(2147483647), 2147483647) << "clamped, not overflowed";
}

// Every depth, header kind and compression, decoded by Qt with exact pixels. The pictures have
// at most 16 colours (2 for 1 bit), so palette output keeps them exactly.
struct DecodeCase {
    const char* name;
    int width;
    int height;
    int bitsPerSample;
    int samplesPerPixel;
    uint8_t headerKind;
    uint8_t compression;
    int depth;            // expected bits per pixel in the file
    uint32_t compressionField;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class BmpDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(BmpDecodeTest, QtReadsExactPixels) {
    const DecodeCase c = GetParam();
    const int colours = c.depth == 1 ? 2 : 16;
    const ColourAt colour = Zones(c.width, colours);
    auto bitmap = MakeRgb(c.width, c.height, colour);
    TIOParamsVals params;
    params.BitsPerSample = c.bitsPerSample;
    params.SamplesPerPixel = c.samplesPerPixel;
    params.BmpHeaderKind = c.headerKind;
    params.BmpCompression = c.compression;
    const Written w = WriteToMemory(*bitmap, params);
    const std::vector<uint8_t>& d = w.bytes;
    ASSERT_EQ(w.abort, 0);

    const bool core = c.headerKind == 2;
    const uint32_t headerSize = core ? 12 : (c.headerKind == 3 ? 64 : 40);
    const uint32_t paletteEntries = c.depth <= 8 ? 1u << c.depth : 0;
    const uint32_t pixelOffset = 14 + headerSize + paletteEntries * (core ? 3 : 4);
    EXPECT_EQ(LE32(d, 2), d.size());
    EXPECT_EQ(LE32(d, 10), pixelOffset);
    EXPECT_EQ(LE32(d, 14), headerSize);
    if (core) {
        EXPECT_EQ(LE16(d, 18), c.width);
        EXPECT_EQ(LE16(d, 20), c.height);
        EXPECT_EQ(LE16(d, 22), 1);
        EXPECT_EQ(LE16(d, 24), c.depth);
    } else {
        EXPECT_EQ(LE16(d, 28), c.depth);
        EXPECT_EQ(LE32(d, 30), c.compressionField);
        EXPECT_EQ(LE32(d, 34), d.size() - pixelOffset);
        EXPECT_EQ(LE32(d, 46), paletteEntries);
        const uint32_t important = c.depth <= 8 ? paletteEntries : (c.depth == 24 ? 16777216u : 1u);
        EXPECT_EQ(LE32(d, 50), important);
        for (uint32_t i = 54; i < 14 + headerSize; ++i) EXPECT_EQ(d[i], 0) << "reserved byte " << i;
    }
    if (c.compressionField == 0) {
        EXPECT_EQ(d.size() - pixelOffset, static_cast<size_t>(RowLength(c.width, c.depth)) * c.height);
    } else {
        EXPECT_EQ(d[d.size() - 2], 0x00);
        EXPECT_EQ(d[d.size() - 1], 0x01) << "end-of-bitmap code";
    }
    if (paletteEntries != 0) {
        ASSERT_EQ(params.ColorMapCount, static_cast<int>(paletteEntries));
        ASSERT_EQ(params.ColorMap.size(), paletteEntries);
        // The palette in the file is the colour map the parameters now hold.
        for (uint32_t i = 0; i < paletteEntries; ++i) {
            const size_t at = 14 + headerSize + i * (core ? 3 : 4);
            EXPECT_EQ(d[at], params.ColorMap[i].B);
            EXPECT_EQ(d[at + 1], params.ColorMap[i].G);
            EXPECT_EQ(d[at + 2], params.ColorMap[i].R);
            if (!core) {
                EXPECT_EQ(d[at + 3], 0);
            }
        }
    }
    ExpectPixels(Decode(d), c.width, c.height, colour);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, BmpDecodeTest,
    ::testing::Values(
        DecodeCase{"Rgb1x3", 1, 3, 8, 3, 1, 0, 24, 0}, DecodeCase{"Rgb4x3NoPadding", 4, 3, 8, 3, 1, 0, 24, 0},
        DecodeCase{"Rgb5x2Padded", 5, 2, 8, 3, 1, 0, 24, 0}, DecodeCase{"RgbKind0", 7, 3, 8, 3, 0, 0, 24, 0},
        DecodeCase{"RgbCoreHeader", 7, 3, 8, 3, 2, 0, 24, 0}, DecodeCase{"RgbLongHeader", 7, 3, 8, 3, 3, 0, 24, 0},
        DecodeCase{"RgbCompressionIgnored", 7, 3, 8, 3, 1, 1, 24, 0},
        DecodeCase{"Index8Width1", 1, 2, 8, 1, 1, 0, 8, 0}, DecodeCase{"Index8Width7", 7, 5, 8, 1, 1, 0, 8, 0},
        DecodeCase{"Index8CoreHeader", 7, 5, 8, 1, 2, 0, 8, 0},
        DecodeCase{"Index8LongHeader", 7, 5, 8, 1, 3, 0, 8, 0},
        DecodeCase{"Index8CoreHeaderNoRle", 7, 5, 8, 1, 2, 1, 8, 0},
        DecodeCase{"Rle8Width1", 1, 3, 8, 1, 1, 1, 8, 1}, DecodeCase{"Rle8Width2", 2, 3, 8, 1, 1, 1, 8, 1},
        DecodeCase{"Rle8Width7", 7, 4, 8, 1, 1, 1, 8, 1},
        DecodeCase{"Rle8LongRuns", 900, 3, 8, 1, 1, 1, 8, 1},
        DecodeCase{"Index4Width1", 1, 2, 4, 3, 1, 0, 4, 0}, DecodeCase{"Index4Width5", 5, 3, 4, 3, 1, 0, 4, 0},
        DecodeCase{"Index4Width8", 8, 3, 4, 3, 1, 0, 4, 0},
        DecodeCase{"Index4CoreHeader", 9, 3, 4, 3, 2, 0, 4, 0},
        DecodeCase{"Rle4Width1", 1, 3, 4, 3, 1, 1, 4, 2}, DecodeCase{"Rle4Width5", 5, 3, 4, 3, 1, 1, 4, 2},
        DecodeCase{"Rle4Width8", 8, 4, 4, 3, 1, 1, 4, 2},
        DecodeCase{"Rle4LongRuns", 900, 3, 4, 3, 1, 1, 4, 2},
        DecodeCase{"Mono1x1", 1, 1, 1, 3, 1, 0, 1, 0}, DecodeCase{"Mono9Wide", 9, 4, 1, 3, 1, 0, 1, 0},
        DecodeCase{"Mono33Wide", 33, 3, 1, 3, 1, 0, 1, 0},
        DecodeCase{"MonoCoreHeader", 33, 3, 1, 3, 2, 0, 1, 0}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(BmpWriterTest, AlphaChannelGivesThirtyTwoBits) {
    const ColourAt colour = Zones(5, 16);
    for (const bool writeAlpha : {false, true}) {
        auto bitmap = MakeRgb(5, 3, colour);
        TIOBitmap& alpha = bitmap->AlphaChannel();
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) alpha.ScanLine(y)[x] = static_cast<uint8_t>(10 * x + 60 * y);
        TIOParamsVals params;
        const Written w = WriteToMemory(*bitmap, params, writeAlpha);
        const std::vector<uint8_t>& d = w.bytes;
        ASSERT_EQ(d.size(), 54u + 5 * 4 * 3);
        EXPECT_EQ(LE16(d, 28), 32);
        EXPECT_EQ(LE32(d, 34), 60u);
        EXPECT_EQ(LE32(d, 46), 0u);
        EXPECT_EQ(LE32(d, 50), 1u);
        for (int fileRow = 0; fileRow < 3; ++fileRow) {
            const int y = 2 - fileRow;
            for (int x = 0; x < 5; ++x) {
                const size_t at = 54 + static_cast<size_t>(fileRow) * 20 + static_cast<size_t>(x) * 4;
                const TIOColorBGR c = colour(x, y);
                EXPECT_EQ(d[at], c.B);
                EXPECT_EQ(d[at + 1], c.G);
                EXPECT_EQ(d[at + 2], c.R);
                EXPECT_EQ(d[at + 3], writeAlpha ? 10 * x + 60 * y : 255) << x << "," << y;
            }
        }
        ExpectPixels(Decode(d), 5, 3, colour);
    }
}

TEST(BmpWriterTest, OneBitBufferKeepsItsBits) {
    TIOBitmap bitmap;
    bitmap.SetLocation(ioMemory);
    ASSERT_TRUE(bitmap.Allocate(10, 2, io1g));
    // Row 0: pixels 0 and 9 white; row 1: all white but pixel 1. Padding bytes cleared.
    const std::array<std::array<uint8_t, 4>, 2> rows{{{0x80, 0x40, 0, 0}, {0xBF, 0xC0, 0, 0}}};
    for (int y = 0; y < 2; ++y) std::copy(rows[y].begin(), rows[y].end(), bitmap.ScanLine(y));
    TIOParamsVals params;
    params.BitsPerSample = 1;
    const Written w = WriteToMemory(bitmap, params);
    const std::vector<uint8_t>& d = w.bytes;
    const std::vector<uint8_t> palette{0, 0, 0, 0, 255, 255, 255, 0};
    const std::vector<uint8_t> pixels{0xBF, 0xC0, 0, 0, 0x80, 0x40, 0, 0};
    ASSERT_EQ(d.size(), 54u + 8 + 8);
    EXPECT_EQ(LE32(d, 10), 62u);
    EXPECT_EQ(LE16(d, 28), 1);
    EXPECT_EQ(LE32(d, 34), 8u);
    EXPECT_EQ(LE32(d, 46), 2u);
    EXPECT_EQ(LE32(d, 50), 2u);
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 54, d.begin() + 62), palette);
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 62, d.end()), pixels);
    EXPECT_EQ(params.ColorMapCount, 2);
}

TEST(BmpWriterTest, OneBitOfAColourfulPictureIsBlackAndWhite) {
    const ColourAt colour = [](int x, int y) {
        return RGBColor(static_cast<uint8_t>(x * 20), static_cast<uint8_t>(y * 30), static_cast<uint8_t>(x * y));
    };
    auto bitmap = MakeRgb(12, 8, colour);
    TIOParamsVals params;
    params.BitsPerSample = 1;
    const Written w = WriteToMemory(*bitmap, params);
    const std::vector<uint8_t>& d = w.bytes;
    EXPECT_EQ(LE16(d, 28), 1);
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 54, d.begin() + 62), (std::vector<uint8_t>{0, 0, 0, 0, 255, 255, 255, 0}));
    const QImage image = Decode(d);
    ASSERT_FALSE(image.isNull());
    std::set<QRgb> seen;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 12; ++x) seen.insert(image.pixel(x, y) & 0xFFFFFF);
    EXPECT_EQ(seen, (std::set<QRgb>{0x000000, 0xFFFFFF})) << "the gradient thresholds to both black and white";
}

TEST(BmpWriterTest, PaletteOutputOfManyColoursUsesOnlyItsPalette) {
    // 64 x 64 distinct colours: 8 bits go through the learned map, 4 bits through the box method.
    const ColourAt colour = [](int x, int y) {
        return RGBColor(static_cast<uint8_t>(x * 4), static_cast<uint8_t>(y * 4), static_cast<uint8_t>(255 - x * 2));
    };
    for (const int depth : {8, 4}) {
        auto bitmap = MakeRgb(64, 64, colour);
        TIOParamsVals params;
        if (depth == 8) params.SamplesPerPixel = 1; else params.BitsPerSample = 4;
        const Written w = WriteToMemory(*bitmap, params);
        ASSERT_EQ(params.ColorMapCount, 1 << depth);
        std::set<QRgb> palette;
        for (const TIOColorBGR& c : params.ColorMap) palette.insert(qRgb(c.R, c.G, c.B));
        const QImage image = Decode(w.bytes);
        ASSERT_FALSE(image.isNull());
        long error = 0;
        for (int y = 0; y < 64; ++y) {
            for (int x = 0; x < 64; ++x) {
                const QRgb got = image.pixel(x, y);
                ASSERT_TRUE(palette.count(got)) << "pixel " << x << "," << y << " is not a palette colour";
                const TIOColorBGR want = colour(x, y);
                error += std::abs(qRed(got) - want.R) + std::abs(qGreen(got) - want.G) + std::abs(qBlue(got) - want.B);
            }
        }
        // Mean absolute error per channel: a few levels for 256 colours, more for 16.
        EXPECT_LT(error / (64.0 * 64 * 3), depth == 8 ? 8.0 : 24.0) << depth << " bits";
        // The same picture gives the same file.
        TIOParamsVals again = params;
        EXPECT_EQ(WriteToMemory(*bitmap, again).bytes, w.bytes);
    }
}

TEST(BmpWriterTest, GreyPictureInEightBitsIndexesTheGreyRamp) {
    // Grey levels 0..255 over a 16 x 16 picture, top-left first.
    const ColourAt colour = [](int x, int y) {
        const uint8_t v = static_cast<uint8_t>(16 * y + x);
        return RGBColor(v, v, v);
    };
    auto bitmap = MakeRgb(16, 16, colour);
    TIOParamsVals params;
    params.SamplesPerPixel = 1;
    const Written w = WriteToMemory(*bitmap, params);
    const std::vector<uint8_t>& d = w.bytes;
    ASSERT_EQ(d.size(), 54u + 1024 + 256);
    for (int i = 0; i < 256; ++i) {
        const std::vector<uint8_t> entry(d.begin() + 54 + 4 * i, d.begin() + 58 + 4 * i);
        ASSERT_EQ(entry, (std::vector<uint8_t>{uint8_t(i), uint8_t(i), uint8_t(i), 0})) << "entry " << i;
    }
    // The file's first row is the picture's bottom one: levels 240..255.
    for (int x = 0; x < 16; ++x) EXPECT_EQ(d[1078 + static_cast<size_t>(x)], 240 + x);
    ExpectPixels(Decode(d), 16, 16, colour);
}

TEST(BmpWriterTest, PaletteBufferKeepsItsIndices) {
    TIOBitmap bitmap;
    bitmap.SetLocation(ioMemory);
    ASSERT_TRUE(bitmap.Allocate(3, 2, io8p));
    std::vector<TIOColorBGR> palette(256);
    for (int i = 0; i < 256; ++i) palette[static_cast<size_t>(i)] = RGBColor(static_cast<uint8_t>(i), 7, static_cast<uint8_t>(255 - i));
    bitmap.SetPalette(palette);
    const std::array<std::array<uint8_t, 4>, 2> rows{{{5, 200, 5, 0}, {0, 255, 17, 0}}};
    for (int y = 0; y < 2; ++y) std::copy(rows[y].begin(), rows[y].end(), bitmap.ScanLine(y));
    TIOParamsVals params;
    params.SamplesPerPixel = 1;
    const Written w = WriteToMemory(bitmap, params);
    const std::vector<uint8_t>& d = w.bytes;
    ASSERT_EQ(d.size(), 54u + 1024 + 8);
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 1078, d.end()), (std::vector<uint8_t>{0, 255, 17, 0, 5, 200, 5, 0}));
    EXPECT_EQ(params.ColorMap, palette);
    ExpectPixels(Decode(d), 3, 2, [&](int x, int y) { return palette[rows[static_cast<size_t>(y)][static_cast<size_t>(x)]]; });
}

TEST(BmpWriterTest, PaletteIndicesBeyondANibbleAreNotPackedIntoFourBits) {
    // Index 200 cannot be a 4-bit index; writing it raw would corrupt its neighbour.
    TIOBitmap bitmap;
    bitmap.SetLocation(ioMemory);
    ASSERT_TRUE(bitmap.Allocate(2, 1, io8p));
    std::vector<TIOColorBGR> palette(256, RGBColor(9, 9, 200));
    palette[200] = RGBColor(250, 10, 10);
    palette[3] = RGBColor(10, 250, 10);
    bitmap.SetPalette(palette);
    uint8_t* row = bitmap.ScanLine(0);
    row[0] = 200;
    row[1] = 3;
    TIOParamsVals params;
    params.BitsPerSample = 4;
    const Written w = WriteToMemory(bitmap, params);
    ExpectPixels(Decode(w.bytes), 2, 1, [&](int x, int) { return palette[x == 0 ? 200 : 3]; });
}

TEST(BmpRleTest, EncodesRunsAndLiteralsByHand) {
    // 4 x a, then b c d (literal), then e e.
    const std::vector<uint8_t> row{7, 7, 7, 7, 1, 2, 3, 9, 9};
    std::vector<uint8_t> rle8;
    EncodeRle8Row(row.data(), static_cast<int>(row.size()), rle8);
    EXPECT_EQ(rle8, (std::vector<uint8_t>{4, 7, 0, 3, 1, 2, 3, 0, 2, 9, 0, 0}));
    std::vector<uint8_t> rle4;
    EncodeRle4Row(row.data(), static_cast<int>(row.size()), rle4);
    EXPECT_EQ(rle4, (std::vector<uint8_t>{4, 0x77, 0, 3, 0x12, 0x30, 2, 0x99, 0, 0}));

    // Fewer than three distinct pixels go as runs of one; an absolute stretch of four needs no pad.
    const std::vector<uint8_t> shortRow{1, 2, 5, 5, 1, 2, 3, 4};
    std::vector<uint8_t> shortRle8;
    EncodeRle8Row(shortRow.data(), static_cast<int>(shortRow.size()), shortRle8);
    EXPECT_EQ(shortRle8, (std::vector<uint8_t>{1, 1, 1, 2, 2, 5, 0, 4, 1, 2, 3, 4, 0, 0}));

    // Runs stop at 255 pixels.
    const std::vector<uint8_t> longRow(600, 3);
    std::vector<uint8_t> longRle8;
    EncodeRle8Row(longRow.data(), 600, longRle8);
    EXPECT_EQ(longRle8, (std::vector<uint8_t>{255, 3, 255, 3, 90, 3, 0, 0}));
}

// A stream that keeps what it accepts, accepts only `limit` bytes in all, and counts the writes
// tried after it first refused some.
class ShortStream : public TIOStream {
public:
    explicit ShortStream(size_t limit) : inner_(limit) {}
    size_t Write(const void* data, size_t count) override {
        if (refused_) ++writesAfterRefusal;
        const size_t accepted = inner_.Write(data, count);
        if (accepted < count) refused_ = true;
        return accepted;
    }
    int64_t Position() const override { return inner_.Position(); }
    bool Seek(int64_t position) override { return inner_.Seek(position); }
    int64_t Size() const override { return inner_.Size(); }
    const std::vector<uint8_t>& Data() const { return inner_.Data(); }
    int writesAfterRefusal = 0;

private:
    TIOMemoryStream inner_;
    bool refused_ = false;
};

TEST(BmpWriterTest, ShortWriteFlagsAbortAndStopsAfterTheRow) {
    // 4 x 10 at 24 bits: rows of 12 bytes from offset 54, 174 bytes in all.
    struct Case { size_t limit; size_t rowsTried; };
    for (const Case c : {Case{0, 0}, Case{10, 0}, Case{30, 0}, Case{54 + 12 * 3 + 5, 4}, Case{173, 10},
                         Case{174, 10}}) {
        SCOPED_TRACE(c.limit);
        auto bitmap = MakeRgb(4, 10, Zones(4, 16));
        TIOParamsVals params;
        RecordingIO io;
        TIOProgressRecord progress = RecordFor(io);
        ShortStream stream(c.limit);
        EXPECT_NO_THROW(WriteBmp(stream, *bitmap, params, false, progress));
        EXPECT_EQ(io.AbortRequested, 1);
        EXPECT_EQ(stream.writesAfterRefusal, 0) << "nothing is written after the refused write";
        // Progress is reported before each row, and once more before the loop sees the flag.
        const size_t reports = c.rowsTried == 10 ? 10 : c.rowsTried + 1;
        EXPECT_EQ(io.percents.size(), reports);
        ExpectIncompleteHeaders(stream.Data());
        EXPECT_EQ(stream.Data().size(), std::min<size_t>(c.limit, 174));
    }
}

TEST(BmpWriterTest, ProgressCountsRowsAndAbortStopsTheWriter) {
    {
        auto bitmap = MakeRgb(3, 4, Zones(3, 16));
        TIOParamsVals params;
        RecordingIO io;
        TIOProgressRecord progress = RecordFor(io);
        TIOMemoryStream stream;
        WriteBmp(stream, *bitmap, params, false, progress);
        EXPECT_EQ(io.percents, (std::vector<int>{0, 25, 50, 75}));
        EXPECT_DOUBLE_EQ(progress.Scale, 25.0);
        EXPECT_EQ(io.AbortRequested, 0);
    }
    {
        // 1 bit reports a percentage only when it changed: 300 rows give 0..99 once each.
        auto bitmap = MakeRgb(3, 300, Zones(3, 2));
        TIOParamsVals params;
        params.BitsPerSample = 1;
        RecordingIO io;
        TIOProgressRecord progress = RecordFor(io);
        TIOMemoryStream stream;
        WriteBmp(stream, *bitmap, params, false, progress);
        std::vector<int> expected(100);
        for (int i = 0; i < 100; ++i) expected[static_cast<size_t>(i)] = i;
        EXPECT_EQ(io.percents, expected);
    }
    for (const int depth : {24, 8, 1}) {
        SCOPED_TRACE(depth);
        // Abort raised at 50%: rows at 0% and 25% are written, then the writer returns quietly.
        auto bitmap = MakeRgb(3, 4, Zones(3, 2));
        TIOParamsVals params;
        if (depth == 8) params.SamplesPerPixel = 1;
        if (depth == 1) params.BitsPerSample = 1;
        RecordingIO io;
        io.abortAt = 50;
        TIOProgressRecord progress = RecordFor(io);
        TIOMemoryStream stream;
        EXPECT_NO_THROW(WriteBmp(stream, *bitmap, params, false, progress));
        EXPECT_EQ(io.percents, (std::vector<int>{0, 25, 50}));
        const size_t paletteBytes = depth == 24 ? 0 : (depth == 8 ? 1024 : 8);
        EXPECT_EQ(stream.Data().size(), 54 + paletteBytes + 2 * static_cast<size_t>(RowLength(3, depth)));
        ExpectIncompleteHeaders(stream.Data());
    }
}

TEST(BmpWriterTest, RefusesAnEmptyImageBeforeWritingAnything) {
    struct Case { int width; int height; };
    for (const Case c : {Case{0, 0}, Case{5, 0}, Case{0, 5}}) {
        TBitmap platform;
        platform.SetSize(c.width, c.height);
        TIOBitmap bitmap;
        bitmap.BindPlatformBitmap(&platform, false);
        TIOParamsVals params;
        uint8_t abort = 0;
        TIOProgressRecord progress;
        progress.AbortFlag = &abort;
        TIOMemoryStream stream;
        try {
            WriteBmp(stream, bitmap, params, false, progress);
            ADD_FAILURE() << c.width << " x " << c.height << " was written";
        } catch (const EIOError& e) {
            EXPECT_NE(std::string(e.what()).find("empty image"), std::string::npos) << e.what();
        }
        EXPECT_EQ(stream.Size(), 0);
    }
}

TEST(BmpWriterTest, RefusesAnUnknownHeaderKind) {
    auto bitmap = MakeRgb(2, 2, [](int, int) { return RGBColor(1, 2, 3); });
    TIOParamsVals params;
    params.BmpHeaderKind = 4;
    TIOMemoryStream stream;
    TIOProgressRecord progress;
    EXPECT_THROW(WriteBmp(stream, *bitmap, params, false, progress), EIOError);
    EXPECT_EQ(stream.Size(), 0);
}

TEST(BmpWriterTest, WritesAfterTheStreamsStartingPosition) {
    auto bitmap = MakeRgb(1, 1, [](int, int) { return RGBColor(0x33, 0x22, 0x11); });
    TIOParamsVals params;
    TIOMemoryStream stream;
    const uint8_t prefix[5] = {9, 9, 9, 9, 9};
    stream.Write(prefix, sizeof prefix);
    TIOProgressRecord progress;
    WriteBmp(stream, *bitmap, params, false, progress);
    const std::vector<uint8_t>& d = stream.Data();
    ASSERT_EQ(d.size(), 63u);
    EXPECT_EQ(stream.Position(), 63);
    const std::vector<uint8_t> file(d.begin() + 5, d.end());
    EXPECT_EQ(LE32(file, 2), 58u) << "sizes and offsets count from the start position";
    EXPECT_EQ(LE32(file, 10), 54u);
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(BmpWriterTest, SaveToFileWritesTheThumbnailThroughTheTable) {
    char pattern[] = "/tmp/bmp_writer_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path dir(pattern);
    const ColourAt colour = [](int x, int y) {
        return RGBColor(static_cast<uint8_t>(x * 3), static_cast<uint8_t>(255 - y), static_cast<uint8_t>(x + y));
    };
    TBitmap thumbnail;
    thumbnail.SetSize(96, 96);
    for (int y = 0; y < 96; ++y)
        for (int x = 0; x < 96; ++x) thumbnail.FillRect(x, y, x + 1, y + 1, colour(x, y));

    std::vector<std::vector<uint8_t>> files;
    for (const char* name : {"thumb.bmp", "thumb.rle", "thumb.DIB"}) {
        TImageView view;
        TImageIO* io = view.GetIO();
        *io->GetBitmap() = thumbnail;
        const std::string path = (dir / name).string();
        io->SaveToFile(path);
        EXPECT_EQ(io->AbortRequested, 0) << name;
        EXPECT_EQ(io->Params.FileType, kFileTypeBmp) << name;
        EXPECT_EQ(io->Params.FileName, path);
        files.push_back(ReadFile(path));
    }
    ASSERT_EQ(files[0].size(), 27702u);
    EXPECT_EQ(files[1], files[0]) << ".rle is the same uncompressed file";
    EXPECT_EQ(files[2], files[0]);
    ExpectPixels(Decode(files[0]), 96, 96, colour);

    // An empty picture is an error the caller sees, not a file that looks written.
    TImageView view;
    TImageIO* io = view.GetIO();
    const std::string emptyPath = (dir / "empty.bmp").string();
    EXPECT_THROW(io->SaveToFile(emptyPath), EIOError);
    EXPECT_EQ(io->Params.FileType, 0);
    EXPECT_EQ(std::filesystem::file_size(emptyPath), 0u);
    std::filesystem::remove_all(dir);
}

}  // namespace
