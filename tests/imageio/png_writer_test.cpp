// The PNG writer: chunks walked one by one (CRCs checked), rows inflated to read their filter
// bytes, pixels decoded back with libpng's reader, short writes, library errors, progress.
#include "imageio/errors.h"
#include "imageio/image_io.h"
#include "imageio/png_writer.h"
#include "writer_test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <png.h>
#include <zlib.h>

using namespace writer_test;
namespace fs = std::filesystem;

namespace {

// ---- Chunk walker ----------------------------------------------------------------------------

struct Chunk {
    std::string type;
    std::vector<uint8_t> data;
    bool crcOk;
};

uint32_t BE32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]; }

// Every chunk after the signature; stops at a chunk that does not fit the file.
std::vector<Chunk> WalkChunks(const std::vector<uint8_t>& f) {
    static const uint8_t kSignature[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    std::vector<Chunk> out;
    if (f.size() < 8 || std::memcmp(f.data(), kSignature, 8) != 0) return out;
    size_t p = 8;
    while (p + 12 <= f.size()) {
        const uint32_t length = BE32(&f[p]);
        if (p + 12 + length > f.size()) break;
        Chunk c;
        c.type.assign(reinterpret_cast<const char*>(&f[p + 4]), 4);
        c.data.assign(f.begin() + static_cast<long>(p) + 8, f.begin() + static_cast<long>(p + 8 + length));
        const uint32_t crc = static_cast<uint32_t>(crc32(0, &f[p + 4], 4 + length));
        c.crcOk = crc == BE32(&f[p + 8 + length]);
        out.push_back(std::move(c));
        p += 12 + length;
    }
    return out;
}

std::vector<std::string> Types(const std::vector<Chunk>& chunks) {
    std::vector<std::string> types;
    for (const Chunk& c : chunks) types.push_back(c.type);
    return types;
}

const Chunk* Find(const std::vector<Chunk>& chunks, const std::string& type) {
    for (const Chunk& c : chunks)
        if (c.type == type) return &c;
    return nullptr;
}

// The inflated image data of a non-interlaced image: each row is its filter byte and
// `rowBytes` bytes; empty when it does not inflate to exactly that.
std::vector<uint8_t> RawRows(const std::vector<Chunk>& chunks, int height, size_t rowBytes) {
    std::vector<uint8_t> compressed;
    for (const Chunk& c : chunks)
        if (c.type == "IDAT") compressed.insert(compressed.end(), c.data.begin(), c.data.end());
    std::vector<uint8_t> raw(static_cast<size_t>(height) * (rowBytes + 1));
    uLongf size = raw.size();
    if (uncompress(raw.data(), &size, compressed.data(), compressed.size()) != Z_OK || size != raw.size()) return {};
    return raw;
}

// The filter byte of every row of a non-interlaced image.
std::vector<int> RowFilters(const std::vector<Chunk>& chunks, int height, size_t rowBytes) {
    const std::vector<uint8_t> raw = RawRows(chunks, height, rowBytes);
    std::vector<int> filters;
    for (size_t y = 0; !raw.empty() && y < static_cast<size_t>(height); ++y) filters.push_back(raw[y * (rowBytes + 1)]);
    return filters;
}

// ---- Decoder (libpng's reader) ---------------------------------------------------------------

struct Decoded {
    bool ok = false;
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
    const uint8_t* At(int x, int y) const { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
};

Decoded Decode(const std::vector<uint8_t>& file) {
    Decoded r;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return r;
    image.format = PNG_FORMAT_RGBA;
    r.rgba.resize(PNG_IMAGE_SIZE(image));
    r.ok = png_image_finish_read(&image, nullptr, r.rgba.data(), 0, nullptr) != 0;
    r.width = static_cast<int>(image.width);
    r.height = static_cast<int>(image.height);
    png_image_free(&image);
    return r;
}

// ---- Running the writer ----------------------------------------------------------------------

struct WriteResult {
    std::vector<uint8_t> file;
    uint8_t abort = 0;
    std::vector<int> percents;
};

WriteResult Write(TIOBitmap& buffer, TIOParamsVals& params, size_t failAfter = SIZE_MAX, int abortAt = -1) {
    TIOMemoryStream stream(failAfter);
    RecordingIO io;
    io.abortAt = abortAt;
    TIOProgressRecord progress = io.Record();
    Writers().Png(stream, buffer, params, progress);
    return WriteResult{stream.Data(), io.AbortRequested, io.percents};
}

WriteResult Write(TIOBitmap& buffer) {
    TIOParamsVals params;
    return Write(buffer, params);
}

void ExpectPixelsEqual(const Decoded& d, int width, int height, const PaintFn& paint, int alpha = 255) {
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.width, width);
    ASSERT_EQ(d.height, height);
    int mismatches = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const TIOColorBGR c = paint(x, y);
            const uint8_t* p = d.At(x, y);
            if (p[0] != c.R || p[1] != c.G || p[2] != c.B || p[3] != alpha) ++mismatches;
        }
    EXPECT_EQ(mismatches, 0);
}

std::vector<uint8_t> IhdrOf(uint32_t w, uint32_t h, uint8_t depth, uint8_t type, uint8_t interlace) {
    return {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w),
            uint8_t(h >> 24), uint8_t(h >> 16), uint8_t(h >> 8), uint8_t(h),
            depth, type, 0, 0, interlace};
}

// ---- Default structure -----------------------------------------------------------------------

TEST(PngWriter, DefaultFileHasExactlyTheDefaultChunksAndUnfilteredRows) {
    auto buffer = MakeBuffer(256, 256, io24RGB, Gradient);
    const WriteResult run = Write(*buffer);
    ASSERT_EQ(run.abort, 0);
    const auto chunks = WalkChunks(run.file);
    ASSERT_FALSE(chunks.empty());

    // IHDR, bKGD, pHYs, then only IDAT up to IEND, which ends the file.
    std::vector<std::string> types = Types(chunks);
    ASSERT_GE(types.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(types.begin(), types.begin() + 3),
              std::vector<std::string>({"IHDR", "bKGD", "pHYs"}));
    for (size_t i = 3; i + 1 < types.size(); ++i) EXPECT_EQ(types[i], "IDAT");
    EXPECT_EQ(types.back(), "IEND");
    size_t total = 8;
    for (const Chunk& c : chunks) {
        EXPECT_TRUE(c.crcOk) << c.type;
        total += 12 + c.data.size();
    }
    EXPECT_EQ(total, run.file.size());

    EXPECT_EQ(chunks[0].data, IhdrOf(256, 256, 8, 2, 0));
    EXPECT_EQ(chunks[1].data, std::vector<uint8_t>(6, 0));
    // 11811 pixels per metre on both axes, unit 1 (metre).
    EXPECT_EQ(chunks[2].data, std::vector<uint8_t>({0, 0, 0x2E, 0x23, 0, 0, 0x2E, 0x23, 1}));

    EXPECT_EQ(RowFilters(chunks, 256, 256 * 3), std::vector<int>(256, 0));
    ExpectPixelsEqual(Decode(run.file), 256, 256, Gradient);
}

// ---- Parameters ------------------------------------------------------------------------------

struct BackgroundCase {
    TIOColorBGR colour;
    bool chunk;
};
class PngBackground : public ::testing::TestWithParam<BackgroundCase> {};

// 8-bit colour output holds only black once widened to 16 bits; other colours give no chunk.
TEST_P(PngBackground, OnlyBlackFitsEightBitColourOutput) {
    auto buffer = MakeBuffer(4, 4, io24RGB, Gradient);
    TIOParamsVals params;
    params.PngBackgroundColor = GetParam().colour;
    const WriteResult run = Write(*buffer, params);
    const auto chunks = WalkChunks(run.file);
    EXPECT_EQ(Find(chunks, "bKGD") != nullptr, GetParam().chunk);
    EXPECT_EQ(Types(chunks).back(), "IEND");
}

INSTANTIATE_TEST_SUITE_P(Cases, PngBackground, ::testing::Values(
    BackgroundCase{RGBColor(0, 0, 0), true},
    BackgroundCase{RGBColor(255, 255, 255), false},
    BackgroundCase{RGBColor(1, 0, 0), false}),
    [](const auto& info) {
        const TIOColorBGR c = info.param.colour;
        return "Rgb" + std::to_string(c.R) + "_" + std::to_string(c.G) + "_" + std::to_string(c.B);
    });

struct PhysCase {
    int horizontal, vertical;
    uint32_t x, y;
};
class PngPhys : public ::testing::TestWithParam<PhysCase> {};

TEST_P(PngPhys, PixelsPerMetreFromDpi) {
    const PhysCase& c = GetParam();
    auto buffer = MakeBuffer(4, 4, io24RGB, Gradient);
    TIOParamsVals params;
    params.HorizontalDpi = c.horizontal;
    params.VerticalDpi = c.vertical;
    const auto chunks = WalkChunks(Write(*buffer, params).file);
    const Chunk* phys = Find(chunks, "pHYs");
    ASSERT_NE(phys, nullptr);
    EXPECT_EQ(BE32(&phys->data[0]), c.x);
    EXPECT_EQ(BE32(&phys->data[4]), c.y);
    EXPECT_EQ(phys->data[8], 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, PngPhys, ::testing::Values(
    PhysCase{300, 300, 11811, 11811}, PhysCase{72, 96, 2835, 3780}, PhysCase{0, 0, 0, 0}),
    [](const auto& info) {
        return "Dpi" + std::to_string(info.param.horizontal) + "x" + std::to_string(info.param.vertical);
    });

struct FilterCase {
    uint8_t setting;
    int rowFilter;   // -1: the library's own choice, any valid filter
};
class PngFilters : public ::testing::TestWithParam<FilterCase> {};

TEST_P(PngFilters, EveryRowUsesTheChosenFilter) {
    auto buffer = MakeBuffer(33, 20, io24RGB, Gradient);
    TIOParamsVals params;
    params.PngFilter = GetParam().setting;
    const WriteResult run = Write(*buffer, params);
    const std::vector<int> filters = RowFilters(WalkChunks(run.file), 20, 33 * 3);
    ASSERT_EQ(filters.size(), 20u);
    for (int f : filters) {
        if (GetParam().rowFilter >= 0) {
            EXPECT_EQ(f, GetParam().rowFilter);
        } else {
            EXPECT_LE(f, 4);
        }
    }
    ExpectPixelsEqual(Decode(run.file), 33, 20, Gradient);
}

INSTANTIATE_TEST_SUITE_P(Cases, PngFilters, ::testing::Values(
    FilterCase{0, 0}, FilterCase{1, 1}, FilterCase{2, 4}, FilterCase{3, -1}),
    [](const auto& info) { return "Setting" + std::to_string(info.param.setting); });

TEST(PngWriter, InterlacedImageReportsEveryRowOfEveryPass) {
    auto buffer = MakeBuffer(13, 11, io24RGB, Gradient);
    TIOParamsVals params;
    params.PngInterlaced = 1;
    const WriteResult run = Write(*buffer, params);
    const auto chunks = WalkChunks(run.file);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].data, IhdrOf(13, 11, 8, 2, 1));
    ASSERT_EQ(run.percents.size(), 7u * 11);
    EXPECT_EQ(run.percents.front(), 100 / 77);
    EXPECT_EQ(run.percents.back(), 100);
    ExpectPixelsEqual(Decode(run.file), 13, 11, Gradient);
}

TEST(PngWriter, TextChunksPairKeysWithValues) {
    auto buffer = MakeBuffer(4, 4, io24RGB, Gradient);
    TIOParamsVals params;
    params.PngTextKeys = {"Title"};
    params.PngTextValues = {"first", "second"};
    auto chunks = WalkChunks(Write(*buffer, params).file);
    std::vector<const Chunk*> texts;
    for (const Chunk& c : chunks)
        if (c.type == "tEXt") texts.push_back(&c);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(std::string(texts[0]->data.begin(), texts[0]->data.end()), std::string("Title\0first", 11));

    TIOParamsVals none;
    none.PngTextValues = {"orphan"};
    chunks = WalkChunks(Write(*buffer, none).file);
    EXPECT_EQ(Find(chunks, "tEXt"), nullptr);
}

// ---- Alpha -----------------------------------------------------------------------------------

TEST(PngWriter, AlphaChannelWithTransparencyGivesRgbaAndAFullOneGivesRgb) {
    auto buffer = MakeBuffer(6, 5, io24RGB, Gradient);
    TIOBitmap& alpha = buffer->AlphaChannel();
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) alpha.ScanLine(y)[x] = static_cast<uint8_t>(x * 40 + y);
    alpha.CheckFull();
    ASSERT_FALSE(alpha.Full());
    WriteResult run = Write(*buffer);
    auto chunks = WalkChunks(run.file);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].data, IhdrOf(6, 5, 8, 6, 0));
    const Decoded d = Decode(run.file);
    ASSERT_TRUE(d.ok);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
            const TIOColorBGR c = Gradient(x, y);
            const uint8_t* p = d.At(x, y);
            EXPECT_EQ(p[3], x * 40 + y);
            if (p[3] == 255) {
                EXPECT_EQ(std::vector<int>({p[0], p[1], p[2]}), std::vector<int>({c.R, c.G, c.B}));
            }
        }

    alpha.Fill(255);
    ASSERT_TRUE(alpha.Full());
    run = Write(*buffer);
    chunks = WalkChunks(run.file);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].data, IhdrOf(6, 5, 8, 2, 0));
    ExpectPixelsEqual(Decode(run.file), 6, 5, Gradient);
}

// ---- Source formats and grey/palette output ---------------------------------------------------

TEST(PngWriter, ThirtyTwoBitAndGreyBuffersAreWrittenAsRgbFromACopy) {
    auto wide = MakeBuffer(9, 7, io32RGB, Gradient);
    ExpectPixelsEqual(Decode(Write(*wide).file), 9, 7, Gradient);
    EXPECT_EQ(wide->PixelFormat(), io32RGB);

    auto greyPaint = [](int x, int y) { const uint8_t v = static_cast<uint8_t>(x * 20 + y); return RGBColor(v, v, v); };
    auto grey = MakeBuffer(9, 7, io8g, greyPaint);
    const WriteResult run = Write(*grey);
    EXPECT_EQ(WalkChunks(run.file)[0].data, IhdrOf(9, 7, 8, 2, 0));
    ExpectPixelsEqual(Decode(run.file), 9, 7, greyPaint);
    EXPECT_EQ(grey->PixelFormat(), io8g);
}

TEST(PngWriter, GreyOutputNormalisesTheDepthAndKeepsTheLevels) {
    auto greyPaint = [](int x, int y) { const uint8_t v = static_cast<uint8_t>(x * 20 + y * 3); return RGBColor(v, v, v); };
    for (TIOPixelFormatId format : {io8g, io24RGB}) {
        auto grey = MakeBuffer(10, 6, format, greyPaint);
        TIOParamsVals params;
        params.SamplesPerPixel = 1;
        params.BitsPerSample = 4;
        const WriteResult run = Write(*grey, params);
        EXPECT_EQ(params.BitsPerSample, 8);
        EXPECT_EQ(WalkChunks(run.file)[0].data, IhdrOf(10, 6, 8, 0, 0));
        ExpectPixelsEqual(Decode(run.file), 10, 6, greyPaint);
    }
    // 16-bit grey samples: each level v spread over 0..65535 as v x 257 (bytes v, v). The rows
    // are read raw: libpng's simple reader would take 16-bit data as linear light.
    auto grey = MakeBuffer(10, 6, io8g, greyPaint);
    TIOParamsVals params;
    params.SamplesPerPixel = 1;
    params.BitsPerSample = 16;
    const WriteResult run = Write(*grey, params);
    const auto chunks = WalkChunks(run.file);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].data, IhdrOf(10, 6, 16, 0, 0));
    const std::vector<uint8_t> raw = RawRows(chunks, 6, 20);
    ASSERT_EQ(raw.size(), 6u * 21);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x) {
            const uint8_t v = greyPaint(x, y).R;
            EXPECT_EQ(raw[y * 21 + 1 + x * 2], v);
            EXPECT_EQ(raw[y * 21 + 2 + x * 2], v);
        }
    EXPECT_TRUE(Decode(run.file).ok);
}

TEST(PngWriter, OneBitOutputKeepsTwoColoursApartDarkerAsBlack) {
    // Two colours, neither black nor white: the darker (by luminance) becomes 0.
    const TIOColorBGR dark = RGBColor(200, 10, 10), light = RGBColor(20, 180, 20);
    auto paint = [&](int x, int y) { return (x + y) % 3 == 0 ? dark : light; };
    auto buffer = MakeBuffer(11, 5, io24RGB, paint);
    TIOParamsVals params;
    params.SamplesPerPixel = 1;
    params.BitsPerSample = 1;
    const WriteResult run = Write(*buffer, params);
    EXPECT_EQ(WalkChunks(run.file)[0].data, IhdrOf(11, 5, 1, 0, 0));
    ExpectPixelsEqual(Decode(run.file), 11, 5, [&](int x, int y) {
        return paint(x, y) == dark ? RGBColor(0, 0, 0) : RGBColor(255, 255, 255);
    });
    EXPECT_EQ(buffer->PixelFormat(), io24RGB);

    // Equal luminance: the colour met first becomes 0.
    EXPECT_EQ(PngLuminance(RGBColor(100, 0, 0)), 21);
    EXPECT_EQ(PngLuminance(RGBColor(0, 0, 0)), 0);
    EXPECT_EQ(PngLuminance(RGBColor(50, 0, 0)), 10);   // 10.5 rounds to even
    EXPECT_EQ(PngLuminance(RGBColor(150, 0, 0)), 32);  // 31.5 rounds to even
    const TIOColorBGR a = RGBColor(8, 0, 0), b = RGBColor(0, 0, 21);  // both 1.68 -> 2
    auto tie = MakeBuffer(4, 2, io24RGB, [&](int x, int) { return x == 0 ? b : a; });
    const Decoded d = Decode(Write(*tie, params).file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.At(0, 0)[0], 0);
    EXPECT_EQ(d.At(1, 0)[0], 255);

    // A 1-bit buffer goes out as it is.
    auto bits = MakeBuffer(11, 5, io1g, [](int x, int) { return x % 2 ? RGBColor(255, 255, 255) : RGBColor(0, 0, 0); });
    ExpectPixelsEqual(Decode(Write(*bits, params).file), 11, 5,
                      [](int x, int) { return x % 2 ? RGBColor(255, 255, 255) : RGBColor(0, 0, 0); });
}

TEST(PngWriter, PaletteOutputMapsColoursAndMasksTransparentPixels) {
    auto paint = [](int x, int y) { return RGBColor(static_cast<uint8_t>(x * 30), static_cast<uint8_t>(y * 40), 77); };
    auto buffer = MakeBuffer(8, 6, io24RGB, paint);
    TIOParamsVals params;
    params.SamplesPerPixel = 1;
    WriteResult run = Write(*buffer, params);
    auto chunks = WalkChunks(run.file);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].data, IhdrOf(8, 6, 8, 3, 0));
    ASSERT_NE(Find(chunks, "PLTE"), nullptr);
    EXPECT_EQ(Find(chunks, "PLTE")->data.size(), 256u * 3);
    ExpectPixelsEqual(Decode(run.file), 8, 6, paint);  // 48 colours: an exact map

    // With a mask: entry 0 is the background, fully transparent, for every pixel below 255.
    TIOBitmap& alpha = buffer->AlphaChannel();
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) alpha.ScanLine(y)[x] = x < 2 ? 0 : 255;
    alpha.CheckFull();
    params.PngBackgroundColor = RGBColor(1, 2, 3);
    run = Write(*buffer, params);
    chunks = WalkChunks(run.file);
    ASSERT_NE(Find(chunks, "tRNS"), nullptr);
    EXPECT_EQ(Find(chunks, "tRNS")->data, std::vector<uint8_t>({0}));
    const Chunk* plte = Find(chunks, "PLTE");
    ASSERT_NE(plte, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(plte->data.begin(), plte->data.begin() + 3), std::vector<uint8_t>({1, 2, 3}));
    const Chunk* bkgd = Find(chunks, "bKGD");
    ASSERT_NE(bkgd, nullptr);
    EXPECT_EQ(bkgd->data, std::vector<uint8_t>({0}));  // the background entry itself
    const Decoded d = Decode(run.file);
    ASSERT_TRUE(d.ok);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) {
            const uint8_t* p = d.At(x, y);
            if (x < 2) {
                EXPECT_EQ(p[3], 0);
            } else {
                const TIOColorBGR c = paint(x, y);
                EXPECT_EQ(std::vector<int>({p[0], p[1], p[2], p[3]}), std::vector<int>({c.R, c.G, c.B, 255}));
            }
        }
}

// ---- Failures, short writes, progress --------------------------------------------------------

TEST(PngWriter, EmptyBufferRaisesAndLeavesTheStreamEmpty) {
    TIOBitmap empty;
    TIOParamsVals params;
    TIOMemoryStream stream;
    RecordingIO io;
    TIOProgressRecord progress = io.Record();
    try {
        WritePngImage(stream, empty, params, nullptr, progress);
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Error on creating PNG");
    }
    EXPECT_TRUE(stream.Data().empty());
}

TEST(PngWriter, LibraryErrorAfterTheHeaderStartedRaisesTheSameError) {
    // An empty keyword is refused while the header chunks are being written; the 24-bit
    // copy, the text copies and the structures must all be released (the sanitizer run checks).
    auto buffer = MakeBuffer(9, 4, io32RGB, Gradient);
    TIOParamsVals params;
    params.PngTextKeys = {""};
    params.PngTextValues = {"value"};
    TIOMemoryStream stream;
    RecordingIO io;
    TIOProgressRecord progress = io.Record();
    EXPECT_THROW(WritePngImage(stream, *buffer, params, nullptr, progress), EInvalidGraphic);
    EXPECT_EQ(Types(WalkChunks(stream.Data())).front(), "IHDR");

    // A palette cannot have 16 bits per sample.
    auto colours = MakeBuffer(9, 4, io24RGB, Gradient);
    TIOParamsVals deep;
    deep.SamplesPerPixel = 1;
    deep.BitsPerSample = 16;
    TIOMemoryStream stream2;
    EXPECT_THROW(WritePngImage(stream2, *colours, deep, nullptr, progress), EInvalidGraphic);
}

TEST(PngWriter, ShortWritesStopWithoutIendAndWithoutException) {
    auto buffer = MakeBuffer(256, 256, io24RGB, Noise);
    TIOParamsVals params;
    WriteResult run = Write(*buffer, params, 0);
    EXPECT_TRUE(run.file.empty());
    EXPECT_EQ(run.abort, 1);
    EXPECT_EQ(run.percents.size(), 1u);  // the signature already failed: one row, then stop

    run = Write(*buffer, params, 100);
    EXPECT_EQ(run.abort, 1);
    EXPECT_EQ(run.file.size(), 100u);
    EXPECT_EQ(Find(WalkChunks(run.file), "IEND"), nullptr);
    // The library hands compressed data over in pieces, so the failure shows long before the
    // last row.
    EXPECT_LT(run.percents.size(), 256u);
}

TEST(PngWriter, ProgressOnEveryRowAndAbortFromTheHandler) {
    auto buffer = MakeBuffer(8, 40, io24RGB, Gradient);
    TIOParamsVals params;
    WriteResult run = Write(*buffer, params);
    std::vector<int> expected;
    for (int row = 1; row <= 40; ++row) expected.push_back(row * 100 / 40);
    EXPECT_EQ(run.percents, expected);

    run = Write(*buffer, params, SIZE_MAX, 50);
    EXPECT_EQ(run.abort, 1);
    EXPECT_EQ(run.percents.size(), 20u);
    const auto chunks = WalkChunks(run.file);
    EXPECT_EQ(Find(chunks, "IEND"), nullptr);
}

// ---- Through the save ------------------------------------------------------------------------

TEST(PngWriter, SaveToFileWritesTheBufferWithoutConvertingIt) {
    const fs::path dir = fs::temp_directory_path() / ("pictolith-png-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "thumb.png").string();

    TImageView view;
    TBitmap picture;
    picture.SetBitsPerPixel(32);
    picture.SetSize(12, 9);
    picture.FillRect(0, 0, 12, 9, RGBColor(10, 200, 30));
    picture.FillRect(3, 3, 6, 6, RGBColor(250, 0, 0));
    *view.GetIO()->GetBitmap() = picture;
    ASSERT_EQ(view.IEBitmap().PixelFormat(), io32RGB);
    view.GetIO()->SaveToFile(path);
    EXPECT_EQ(view.GetIO()->AbortRequested, 0);
    EXPECT_EQ(view.GetIO()->Params.FileType, kFileTypePng);
    EXPECT_EQ(view.IEBitmap().PixelFormat(), io32RGB);

    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
    ExpectPixelsEqual(Decode(file), 12, 9, [](int x, int y) {
        return x >= 3 && x < 6 && y >= 3 && y < 6 ? RGBColor(250, 0, 0) : RGBColor(10, 200, 30);
    });
    fs::remove_all(dir);
}

}  // namespace
