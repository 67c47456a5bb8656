// The JPEG writer: file structure walked marker by marker, pixels decoded back with
// libjpeg-turbo's reader, markers and their order, short writes, library errors, progress.
#include "imageio/errors.h"
#include "imageio/image_io.h"
#include "imageio/jpeg_writer.h"
#include "imageio/marker_list.h"
#include "writer_test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

using namespace writer_test;
namespace fs = std::filesystem;

namespace {

// ---- Marker walker -------------------------------------------------------------------------

struct Segment {
    uint8_t code;
    std::vector<uint8_t> data;   // payload after the length field
};

// Every marker of the file in order, SOI and EOI included. `trailing` receives the bytes after
// EOI (-1 when the file has no EOI).
std::vector<Segment> WalkMarkers(const std::vector<uint8_t>& f, long* trailing = nullptr) {
    std::vector<Segment> out;
    if (trailing) *trailing = -1;
    size_t p = 0;
    if (f.size() < 2 || f[0] != 0xFF || f[1] != 0xD8) return out;
    out.push_back({0xD8, {}});
    p = 2;
    while (p + 1 < f.size()) {
        if (f[p] != 0xFF) return out;  // broken structure: the caller's expectations fail
        const uint8_t code = f[p + 1];
        p += 2;
        if (code == 0xD9) {
            out.push_back({code, {}});
            if (trailing) *trailing = static_cast<long>(f.size() - p);
            return out;
        }
        if (p + 2 > f.size()) return out;
        const size_t length = (size_t{f[p]} << 8) | f[p + 1];
        if (length < 2 || p + length > f.size()) return out;
        out.push_back({code, std::vector<uint8_t>(f.begin() + static_cast<long>(p) + 2, f.begin() + static_cast<long>(p + length))});
        p += length;
        if (code == 0xDA) {
            // Entropy-coded data runs to the next marker that is neither a stuffed 0 nor RSTn.
            while (p + 1 < f.size() && !(f[p] == 0xFF && f[p + 1] != 0 && (f[p + 1] < 0xD0 || f[p + 1] > 0xD7))) ++p;
        }
    }
    return out;
}

bool Has(const std::vector<Segment>& segments, uint8_t code) {
    for (const Segment& s : segments)
        if (s.code == code) return true;
    return false;
}

const Segment* Find(const std::vector<Segment>& segments, uint8_t code) {
    for (const Segment& s : segments)
        if (s.code == code) return &s;
    return nullptr;
}

// ---- Decoder (libjpeg-turbo's reader) ------------------------------------------------------

struct TestErrorMgr {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void TestErrorExit(j_common_ptr c) { std::longjmp(reinterpret_cast<TestErrorMgr*>(c->err)->jump, 1); }

// Only C data in the guarded frames.
bool TryReadHeader(jpeg_decompress_struct* d, TestErrorMgr* e, const uint8_t* data, size_t size, J_COLOR_SPACE out) {
    if (setjmp(e->jump)) return false;
    jpeg_mem_src(d, data, static_cast<unsigned long>(size));
    jpeg_read_header(d, TRUE);
    if (out != JCS_UNKNOWN) d->out_color_space = out;
    jpeg_start_decompress(d);
    return true;
}

bool TryReadRows(jpeg_decompress_struct* d, TestErrorMgr* e, uint8_t* pixels, size_t stride) {
    if (setjmp(e->jump)) return false;
    while (d->output_scanline < d->output_height) {
        JSAMPROW row = pixels + d->output_scanline * stride;
        jpeg_read_scanlines(d, &row, 1);
    }
    jpeg_finish_decompress(d);
    return true;
}

struct Decoded {
    bool ok = false;
    int width = 0, height = 0, components = 0, outComponents = 0;
    J_COLOR_SPACE jpegSpace = JCS_UNKNOWN;
    bool jfif = false, adobe = false, progressive = false;
    int ids[4]{}, h[4]{}, v[4]{};
    uint16_t quant[2][64]{};   // natural order
    std::vector<uint8_t> pixels;
    const uint8_t* At(int x, int y) const { return &pixels[(static_cast<size_t>(y) * width + x) * outComponents]; }
};

Decoded Decode(const std::vector<uint8_t>& file, J_COLOR_SPACE out = JCS_UNKNOWN) {
    Decoded r;
    jpeg_decompress_struct d{};
    TestErrorMgr e{};
    d.err = jpeg_std_error(&e.pub);
    e.pub.error_exit = TestErrorExit;
    jpeg_create_decompress(&d);
    if (TryReadHeader(&d, &e, file.data(), file.size(), out)) {
        r.width = static_cast<int>(d.output_width);
        r.height = static_cast<int>(d.output_height);
        r.components = d.num_components;
        r.outComponents = d.output_components;
        r.jpegSpace = d.jpeg_color_space;
        r.jfif = d.saw_JFIF_marker;
        r.adobe = d.saw_Adobe_marker;
        r.progressive = d.progressive_mode;
        for (int i = 0; i < d.num_components && i < 4; ++i) {
            r.ids[i] = d.comp_info[i].component_id;
            r.h[i] = d.comp_info[i].h_samp_factor;
            r.v[i] = d.comp_info[i].v_samp_factor;
        }
        for (int t = 0; t < 2; ++t)
            if (d.quant_tbl_ptrs[t] != nullptr) std::memcpy(r.quant[t], d.quant_tbl_ptrs[t]->quantval, sizeof r.quant[t]);
        const size_t stride = static_cast<size_t>(r.width) * r.outComponents;
        r.pixels.resize(stride * r.height);
        r.ok = TryReadRows(&d, &e, r.pixels.data(), stride);
    }
    jpeg_destroy_decompress(&d);
    return r;
}

// ---- Running the writer ----------------------------------------------------------------------

struct WriteResult {
    std::vector<uint8_t> file;
    uint8_t abort = 0;
    std::vector<int> percents;
    int counter = 0;
};

WriteResult Write(TIOBitmap& buffer, TIOParamsVals& params, size_t failAfter = SIZE_MAX, int abortAt = -1) {
    TIOMemoryStream stream(failAfter);
    RecordingIO io;
    io.abortAt = abortAt;
    TIOProgressRecord progress = io.Record();
    WriteJpegImage(stream, buffer, params, progress);
    return WriteResult{stream.Data(), io.AbortRequested, io.percents, progress.Counter};
}

WriteResult Write(TIOBitmap& buffer) {
    TIOParamsVals params;
    return Write(buffer, params);
}

TIOColorBGR Red(int, int) { return RGBColor(255, 0, 0); }

// ---- Default structure -----------------------------------------------------------------------

// The library's base tables (natural order), as scaled for a quality.
constexpr uint16_t kLuminance[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr uint16_t kChrominance[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

uint16_t Quality80(uint16_t base) {
    // Quality 80 scales by 200 - 2 x 80 = 40 per cent, rounded, within 1..255 (baseline).
    return static_cast<uint16_t>(std::clamp((base * 40 + 50) / 100, 1, 255));
}

TEST(JpegWriter, DefaultFileIsJfifBaselineWithQuality80TablesAndNothingElse) {
    const PaintFn smooth = [](int x, int y) {
        return RGBColor(static_cast<uint8_t>(x), static_cast<uint8_t>(y), static_cast<uint8_t>((x + y) / 2));
    };
    auto buffer = MakeBuffer(256, 256, io24RGB, smooth);
    const WriteResult run = Write(*buffer);
    ASSERT_EQ(run.abort, 0);

    long trailing = 0;
    const auto segs = WalkMarkers(run.file, &trailing);
    ASSERT_GE(segs.size(), 4u);
    EXPECT_EQ(segs.front().code, 0xD8);
    EXPECT_EQ(segs.back().code, 0xD9);
    EXPECT_EQ(trailing, 0);

    // APP0 JFIF 1.01, dots per inch, 300 x 300, no thumbnail, right after SOI.
    ASSERT_EQ(segs[1].code, 0xE0);
    const std::vector<uint8_t> jfif = {'J', 'F', 'I', 'F', 0, 1, 1, 1, 0x01, 0x2C, 0x01, 0x2C, 0, 0};
    EXPECT_EQ(segs[1].data, jfif);

    // Only tables, one SOF0, one scan; no other APPn, no COM, no DRI.
    int sos = 0;
    for (size_t i = 2; i + 1 < segs.size(); ++i) {
        const uint8_t c = segs[i].code;
        EXPECT_TRUE(c == 0xDB || c == 0xC4 || c == 0xC0 || c == 0xDA) << "unexpected marker " << int(c);
        sos += c == 0xDA;
    }
    EXPECT_EQ(sos, 1);

    const Segment* sof = Find(segs, 0xC0);
    ASSERT_NE(sof, nullptr);
    // precision 8, height, width, 3 components: id, sampling (h << 4 | v), table.
    const std::vector<uint8_t> frame = {8, 1, 0, 1, 0, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1};
    EXPECT_EQ(sof->data, frame);

    // Standard Huffman tables: the counts of codes per length of the four tables.
    const std::vector<uint8_t> dcLuma = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> dcChroma = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> acLuma = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D};
    const std::vector<uint8_t> acChroma = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
    int tablesSeen = 0;
    for (const Segment& s : segs) {
        if (s.code != 0xC4) continue;
        size_t p = 0;
        while (p + 17 <= s.data.size()) {
            const uint8_t classId = s.data[p];
            const std::vector<uint8_t> counts(s.data.begin() + static_cast<long>(p) + 1, s.data.begin() + static_cast<long>(p) + 17);
            int values = 0;
            for (uint8_t n : counts) values += n;
            const std::vector<uint8_t>* expected = classId == 0x00 ? &dcLuma : classId == 0x01 ? &dcChroma
                                                 : classId == 0x10 ? &acLuma : classId == 0x11 ? &acChroma : nullptr;
            ASSERT_NE(expected, nullptr) << int(classId);
            EXPECT_EQ(counts, *expected) << int(classId);
            ++tablesSeen;
            p += 17 + static_cast<size_t>(values);
        }
    }
    EXPECT_EQ(tablesSeen, 4);

    const Decoded d = Decode(run.file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 256);
    EXPECT_EQ(d.height, 256);
    EXPECT_FALSE(d.progressive);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(d.quant[0][i], Quality80(kLuminance[i])) << i;
        EXPECT_EQ(d.quant[1][i], Quality80(kChrominance[i])) << i;
    }
    // The pixels come back close to the buffer's (lossy, so a mean bound).
    double error = 0;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            const TIOColorBGR c = smooth(x, y);
            const uint8_t* p = d.At(x, y);
            error += std::abs(p[0] - c.R) + std::abs(p[1] - c.G) + std::abs(p[2] - c.B);
        }
    EXPECT_LT(error / (256.0 * 256 * 3), 2.0);
}

// ---- Parameters ------------------------------------------------------------------------------

struct DensityCase {
    int horizontal, vertical;
    int expectX, expectY;
};
class JpegDensity : public ::testing::TestWithParam<DensityCase> {};

TEST_P(JpegDensity, JfifDensityFollowsTheDpiFields) {
    const DensityCase& c = GetParam();
    auto buffer = MakeBuffer(8, 8, io24RGB, Gradient);
    TIOParamsVals params;
    params.HorizontalDpi = c.horizontal;
    params.VerticalDpi = c.vertical;
    const auto segs = WalkMarkers(Write(*buffer, params).file);
    ASSERT_GE(segs.size(), 2u);
    ASSERT_EQ(segs[1].code, 0xE0);
    const auto& j = segs[1].data;
    EXPECT_EQ(j[7], 1);
    EXPECT_EQ((j[8] << 8) | j[9], c.expectX);
    EXPECT_EQ((j[10] << 8) | j[11], c.expectY);
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegDensity, ::testing::Values(
    DensityCase{300, 300, 300, 300},
    DensityCase{0, 72, 300, 72},          // 0 stands for the default resolution
    DensityCase{70000, 96, 4464, 96}),    // the field keeps the low 16 bits
    [](const auto& info) {
        return "Dpi" + std::to_string(info.param.horizontal) + "x" + std::to_string(info.param.vertical);
    });

struct ColourSpaceCase {
    uint8_t space;
    bool jfif, adobe;
    int components;
    J_COLOR_SPACE stored;
    std::vector<int> ids;
};
class JpegColourSpace : public ::testing::TestWithParam<ColourSpaceCase> {};

TEST_P(JpegColourSpace, SegmentsComponentsAndRedStaysRed) {
    const ColourSpaceCase& c = GetParam();
    auto buffer = MakeBuffer(24, 16, io24RGB, Red);
    TIOParamsVals params;
    params.JpegColorSpace = c.space;
    const WriteResult run = Write(*buffer, params);
    const auto segs = WalkMarkers(run.file);
    EXPECT_EQ(Has(segs, 0xE0), c.jfif);
    EXPECT_EQ(Has(segs, 0xEE), c.adobe);

    const Decoded d = Decode(run.file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.components, c.components);
    EXPECT_EQ(d.jpegSpace, c.stored);
    EXPECT_EQ(std::vector<int>(d.ids, d.ids + c.components), c.ids);

    const uint8_t* p = d.At(5, 5);
    if (c.components == 1) {
        EXPECT_NEAR(p[0], 76, 3);  // luminance of pure red
    } else if (c.components == 3) {
        EXPECT_GT(p[0], 240);
        EXPECT_LT(p[1], 16);
        EXPECT_LT(p[2], 16);
    } else {
        // Inverted CMYK as CMYK readers take it: R = C x K / 255 and so on.
        EXPECT_GT(p[0] * p[3] / 255, 240);
        EXPECT_LT(p[1] * p[3] / 255, 16);
        EXPECT_LT(p[2] * p[3] / 255, 16);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegColourSpace, ::testing::Values(
    ColourSpaceCase{0, false, true, 3, JCS_RGB, {'R', 'G', 'B'}},
    ColourSpaceCase{1, true, false, 1, JCS_GRAYSCALE, {1}},
    ColourSpaceCase{2, true, false, 3, JCS_YCbCr, {1, 2, 3}},
    ColourSpaceCase{3, true, true, 4, JCS_CMYK, {'C', 'M', 'Y', 'K'}},
    ColourSpaceCase{4, false, true, 4, JCS_YCCK, {1, 2, 3, 4}},
    ColourSpaceCase{9, false, true, 3, JCS_RGB, {'R', 'G', 'B'}}),    // above 4: RGB
    [](const auto& info) { return "Space" + std::to_string(info.param.space); });

struct SamplingCase {
    uint8_t setting;
    int h, v;
};
class JpegChromaSampling : public ::testing::TestWithParam<SamplingCase> {};

TEST_P(JpegChromaSampling, LuminanceSamplingFollowsTheSetting) {
    auto buffer = MakeBuffer(16, 16, io24RGB, Gradient);
    TIOParamsVals params;
    params.JpegChromaSampling = GetParam().setting;
    const Decoded d = Decode(Write(*buffer, params).file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.h[0], GetParam().h);
    EXPECT_EQ(d.v[0], GetParam().v);
    EXPECT_EQ(d.h[1], 1);
    EXPECT_EQ(d.v[2], 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegChromaSampling, ::testing::Values(
    SamplingCase{0, 2, 1}, SamplingCase{1, 2, 2}, SamplingCase{2, 1, 1}, SamplingCase{7, 2, 2}),
    [](const auto& info) { return "Setting" + std::to_string(info.param.setting); });

TEST(JpegWriter, ProgressiveOptimisedAndOtherDctMethodsStillDecode) {
    auto buffer = MakeBuffer(40, 30, io24RGB, Gradient);
    for (uint8_t dct : {1, 2}) {
        TIOParamsVals params;
        params.JpegProgressive = 1;
        params.JpegOptimalHuffman = 1;
        params.JpegDctMethod = dct;
        params.JpegSmoothing = 500;  // out of the library's range: kept inside it
        params.JpegQuality = 1000;   // the library limits it to 100
        const WriteResult run = Write(*buffer, params);
        const auto segs = WalkMarkers(run.file);
        EXPECT_TRUE(Has(segs, 0xC2));
        EXPECT_FALSE(Has(segs, 0xC0));
        const Decoded d = Decode(run.file);
        ASSERT_TRUE(d.ok);
        EXPECT_TRUE(d.progressive);
        EXPECT_EQ(d.quant[0][0], 1);  // quality 100
    }
}

// ---- Source formats --------------------------------------------------------------------------

TEST(JpegWriter, OneBitBufferIsEncodedFromACopyAndLeftAsItWas) {
    auto buffer = MakeBuffer(16, 8, io1g, [](int x, int) { return x < 8 ? RGBColor(0, 0, 0) : RGBColor(255, 255, 255); });
    const WriteResult run = Write(*buffer);
    EXPECT_EQ(buffer->PixelFormat(), io1g);
    const Decoded d = Decode(run.file);
    ASSERT_TRUE(d.ok);
    EXPECT_LT(d.At(1, 4)[0], 20);
    EXPECT_GT(d.At(14, 4)[0], 235);
}

// ---- Markers ---------------------------------------------------------------------------------

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> IccChunk(uint8_t sequence) {
    std::vector<uint8_t> d = Bytes(std::string("ICC_PROFILE") + '\0');
    d.push_back(sequence);
    d.push_back(2);
    d.push_back(0xAB);
    return d;
}

std::vector<uint8_t> ExifPayload() { return Bytes(std::string("Exif\0\0II*\0", 10)); }
std::vector<uint8_t> XmpPayload() { return EncodeXmpPayload("<x:xmpmeta/>"); }

TEST(JpegWriter, MarkersAreWrittenSortedAfterJfifWithoutApp14) {
    auto buffer = MakeBuffer(8, 8, io24RGB, Gradient);
    TIOParamsVals params;
    params.JpegMarkers.AddMarker(0xFE, Bytes("comment"));
    params.JpegMarkers.AddMarker(0xE1, XmpPayload());
    params.JpegMarkers.AddMarker(0xE2, IccChunk(2));
    params.JpegMarkers.AddMarker(0xE2, IccChunk(1));
    params.JpegMarkers.AddMarker(0xE1, ExifPayload());
    params.JpegMarkers.AddMarker(0xEE, Bytes("Adobe-like"));
    const WriteResult run = Write(*buffer, params);
    const auto segs = WalkMarkers(run.file);
    ASSERT_GE(segs.size(), 8u);
    EXPECT_EQ(segs[1].code, 0xE0);
    EXPECT_EQ(segs[2].data, ExifPayload());
    EXPECT_EQ(segs[3].data, XmpPayload());
    EXPECT_EQ(segs[4].data, IccChunk(1));
    EXPECT_EQ(segs[5].data, IccChunk(2));
    EXPECT_EQ(segs[6].code, 0xFE);
    EXPECT_EQ(segs[6].data, Bytes("comment"));
    EXPECT_EQ(std::vector<uint8_t>({segs[2].code, segs[3].code, segs[4].code, segs[5].code}),
              std::vector<uint8_t>({0xE1, 0xE1, 0xE2, 0xE2}));
    EXPECT_FALSE(Has(segs, 0xEE));
    EXPECT_TRUE(Decode(run.file).ok);
}

TEST(MarkerList, OperationsCopyAndIndexPayloads) {
    TIOMarkerList list;
    const uint8_t a[] = {1, 2, 3};
    const uint8_t b[] = {9};
    list.AppendMarker(0xE5, a, 3);
    list.AppendMarker(0xFE, b, 1);
    list.AppendMarker(0xE5, nullptr, 0);
    ASSERT_EQ(list.MarkerCount(), 3);
    EXPECT_EQ(list.MarkerCode(1), 0xFE);
    EXPECT_EQ(list.MarkerPayloadLength(0), 3);
    EXPECT_NE(list.MarkerPayload(0), a);  // a private copy
    EXPECT_EQ(list.MarkerPayload(0)[2], 3);
    EXPECT_EQ(list.FindMarker(0xE5), 0);
    EXPECT_EQ(list.FindMarker(0xE7), -1);

    list.ReplaceMarker(0, 0xE7, b, 1);
    EXPECT_EQ(list.MarkerCode(0), 0xE7);
    EXPECT_EQ(list.MarkerPayloadLength(0), 1);
    list.SwapMarkers(0, 2);
    EXPECT_EQ(list.MarkerCode(0), 0xE5);
    EXPECT_EQ(list.MarkerCode(2), 0xE7);
    list.RemoveMarker(1);
    EXPECT_EQ(list.MarkerCount(), 2);
    EXPECT_THROW(list.RemoveMarker(5), std::out_of_range);

    TIOMarkerList copy;
    copy.AppendMarker(0x01, b, 1);
    copy.CopyMarkers(&list);
    ASSERT_EQ(copy.MarkerCount(), 2);
    EXPECT_EQ(copy.MarkerCode(1), 0xE7);
    copy.CopyMarkers(nullptr);
    copy.CopyMarkers(&copy);
    EXPECT_EQ(copy.MarkerCount(), 2);
    copy.ClearMarkers();
    EXPECT_EQ(copy.MarkerCount(), 0);
}

TEST(MarkerList, SortOrdersIccChunksAndPutsExifFirstAmongApp1) {
    TIOMarkerList list;
    list.AddMarker(0xE2, IccChunk(3));
    list.AddMarker(0xE1, XmpPayload());
    list.AddMarker(0xE2, Bytes("other APP2"));
    list.AddMarker(0xE2, IccChunk(1));
    list.AddMarker(0xE0, Bytes("app0"));
    list.AddMarker(0xE1, ExifPayload());
    list.AddMarker(0xE2, IccChunk(2));
    list.SortMarkers();
    std::vector<uint8_t> codes;
    for (const TIOMarker& m : list.Items()) codes.push_back(m.Code);
    EXPECT_EQ(codes, std::vector<uint8_t>({0xE0, 0xE1, 0xE1, 0xE2, 0xE2, 0xE2, 0xE2}));
    EXPECT_EQ(list[1].Data, ExifPayload());
    EXPECT_EQ(list[2].Data, XmpPayload());
    EXPECT_EQ(list[3].Data, Bytes("other APP2"));
    EXPECT_EQ(list[4].Data, IccChunk(1));
    EXPECT_EQ(list[5].Data, IccChunk(2));
    EXPECT_EQ(list[6].Data, IccChunk(3));
}

TEST(MarkerList, ExifAndXmpPayloadTests) {
    const auto exif = ExifPayload();
    EXPECT_TRUE(IsExifPayload(exif.data(), exif.size()));
    EXPECT_FALSE(IsExifPayload(exif.data(), 4));  // no terminator inside the payload
    const auto exifx = Bytes(std::string("Exifx\0", 6));
    EXPECT_FALSE(IsExifPayload(exifx.data(), exifx.size()));
    const auto xmp = XmpPayload();
    EXPECT_TRUE(IsXmpPayload(xmp.data(), xmp.size()));
    EXPECT_FALSE(IsXmpPayload(xmp.data(), 29));   // the identifier alone is no packet
    EXPECT_EQ(EncodeXmpPayload("").size(), 29u);
}

// An APP13 payload holding resource 0x03ED with an empty name and 16 bytes of data.
std::vector<uint8_t> ResolutionApp13() {
    std::vector<uint8_t> d = Bytes(std::string("Photoshop 3.0") + '\0');
    const std::vector<uint8_t> resource = {'8', 'B', 'I', 'M', 0x03, 0xED, 0, 0, 0, 0, 0, 16};
    d.insert(d.end(), resource.begin(), resource.end());
    d.insert(d.end(), 16, 0xEE);
    return d;
}

TEST(JpegMarkers, UpdateResolutionResourceRewritesTheResolution) {
    TIOParamsVals params;
    params.HorizontalDpi = 96;
    params.VerticalDpi = 300;
    params.JpegMarkers.AddMarker(0xE1, ExifPayload());
    params.JpegMarkers.AddMarker(0xED, ResolutionApp13());
    UpdateResolutionResource(params);
    const auto& data = params.JpegMarkers[1].Data;
    const std::vector<uint8_t> info(data.end() - 16, data.end());
    const std::vector<uint8_t> expected = {0x00, 0x60, 0, 0, 0, 1, 0, 1, 0x01, 0x2C, 0, 0, 0, 1, 0, 1};
    EXPECT_EQ(info, expected);
}

TEST(JpegMarkers, UpdateResolutionResourceLeavesMalformedResourcesAlone) {
    std::vector<std::vector<uint8_t>> payloads;
    auto small = ResolutionApp13();
    small[small.size() - 17] = 15;           // declared size below 16
    payloads.push_back(small);
    auto cut = ResolutionApp13();
    cut.resize(cut.size() - 1);              // data shorter than 16 bytes
    payloads.push_back(cut);
    auto header = ResolutionApp13();
    header.resize(header.size() - 18);       // size field cut off
    payloads.push_back(header);
    auto named = ResolutionApp13();
    named[named.size() - 22] = 200;          // a name longer than the payload
    payloads.push_back(named);
    for (const auto& payload : payloads) {
        TIOParamsVals params;
        params.HorizontalDpi = 96;
        params.JpegMarkers.AddMarker(0xED, payload);
        UpdateResolutionResource(params);
        EXPECT_EQ(params.JpegMarkers[0].Data, payload);
    }
}

TEST(JpegMarkers, SaveEntryDropsStaleXmpAndApp13AndAddsTheNewMetadata) {
    auto buffer = MakeBuffer(8, 8, io24RGB, Gradient);
    TIOMemoryStream stream;
    RecordingIO io;
    TIOProgressRecord progress = io.Record();

    // Defaults: the IPTC list is empty and marked changed, the XMP text empty.
    TIOParamsVals params;
    params.JpegMarkers.AddMarker(0xED, ResolutionApp13());
    params.JpegMarkers.AddMarker(0xE1, XmpPayload());
    params.JpegMarkers.AddMarker(0xFE, Bytes("kept"));
    ASSERT_TRUE(params.IptcInfo.Changed);
    Writers().Jpeg(stream, *buffer, params, progress);
    auto segs = WalkMarkers(stream.Data());
    EXPECT_FALSE(Has(segs, 0xED));
    EXPECT_FALSE(Has(segs, 0xE1));
    ASSERT_NE(Find(segs, 0xFE), nullptr);
    EXPECT_EQ(Find(segs, 0xFE)->data, Bytes("kept"));

    // New metadata: IPTC records, EXIF and XMP.
    TIOParamsVals meta;
    meta.IptcInfo.Add({2, 5, "Title"});
    meta.ExifPresent = 1;
    meta.XmpText = "<x:xmpmeta/>";
    TIOMemoryStream stream2;
    Writers().Jpeg(stream2, *buffer, meta, progress);
    segs = WalkMarkers(stream2.Data());
    const Segment* app13 = Find(segs, 0xED);
    ASSERT_NE(app13, nullptr);
    const std::vector<uint8_t> iptc = {0x1C, 2, 5, 0, 5, 'T', 'i', 't', 'l', 'e'};
    EXPECT_EQ(std::string(app13->data.begin(), app13->data.begin() + 14), std::string("Photoshop 3.0") + '\0');
    EXPECT_NE(std::search(app13->data.begin(), app13->data.end(), iptc.begin(), iptc.end()), app13->data.end());
    std::vector<const Segment*> app1;
    for (const Segment& s : segs)
        if (s.code == 0xE1) app1.push_back(&s);
    ASSERT_EQ(app1.size(), 2u);
    EXPECT_TRUE(IsExifPayload(app1[0]->data.data(), app1[0]->data.size()));
    EXPECT_EQ(app1[1]->data, EncodeXmpPayload("<x:xmpmeta/>"));
    EXPECT_TRUE(Decode(stream2.Data()).ok);
}

// ---- Failures, short writes, progress --------------------------------------------------------

TEST(JpegWriter, EmptyBufferWritesNothingAndSetsTheAbortFlag) {
    TIOBitmap empty;
    const WriteResult run = Write(empty);
    EXPECT_TRUE(run.file.empty());
    EXPECT_EQ(run.abort, 1);
}

TEST(JpegWriter, StreamThatAcceptsNothingSetsTheAbortFlagWithoutException) {
    // Small picture: all of it fits one output block, so the compression runs to the end and
    // the failure shows at the final flush.
    auto small = MakeBuffer(32, 32, io24RGB, Gradient);
    TIOParamsVals params;
    WriteResult run = Write(*small, params, 0);
    EXPECT_TRUE(run.file.empty());
    EXPECT_EQ(run.abort, 1);
    EXPECT_EQ(run.counter, 32);

    // Noise fills several blocks: the rows stop right after the first block filled.
    auto noisy = MakeBuffer(512, 512, io24RGB, Noise);
    run = Write(*noisy, params, 0);
    EXPECT_TRUE(run.file.empty());
    EXPECT_EQ(run.abort, 1);
    EXPECT_GT(run.counter, 0);
    EXPECT_LT(run.counter, 512);
}

TEST(JpegWriter, OutputReachesTheStreamInWholeBlocks) {
    auto noisy = MakeBuffer(512, 512, io24RGB, Noise);
    TIOParamsVals params;
    const WriteResult complete = Write(*noisy, params);
    ASSERT_GT(complete.file.size(), 2 * kJpegOutputBufferSize);
    ASSERT_TRUE(Decode(complete.file).ok);

    // A stream that fails inside the second block keeps the first block and what it took of
    // the second; nothing after.
    const WriteResult cut = Write(*noisy, params, kJpegOutputBufferSize + 1000);
    EXPECT_EQ(cut.abort, 1);
    ASSERT_EQ(cut.file.size(), kJpegOutputBufferSize + 1000);
    EXPECT_TRUE(std::equal(cut.file.begin(), cut.file.end(), complete.file.begin()));
    EXPECT_LT(cut.counter, 512);
}

TEST(JpegWriter, LibraryErrorRaisesTheLibraryMessageAndReleasesEverything) {
    auto buffer = MakeBuffer(16, 16, io1g, Gradient);  // the error also frees the 24-bit copy
    TIOParamsVals params;
    params.JpegMarkers.AddMarker(0xE3, std::vector<uint8_t>(65534, 7));  // longer than a segment holds
    TIOMemoryStream stream;
    RecordingIO io;
    TIOProgressRecord progress = io.Record();
    try {
        WriteJpegImage(stream, *buffer, params, progress);
        FAIL() << "no exception";
    } catch (const EIOJpegException& e) {
        EXPECT_STREQ(e.what(), "Bogus marker length");
    }
    EXPECT_EQ(io.AbortRequested, 1);
}

TEST(JpegWriter, MessageTableShowsPlaceholdersAsQuestionMarks) {
    EXPECT_EQ(JpegMessageText(0), "Bogus message code ?");
    EXPECT_EQ(JpegMessageText(JERR_NO_SOI), "Not a JPEG file: starts with 0x? 0x?");
    EXPECT_EQ(JpegMessageText(JERR_TOO_LITTLE_DATA), "Application transferred too few scanlines");
    EXPECT_EQ(JpegMessageText(JWRN_TOO_MUCH_DATA), "Application transferred too many scanlines");
    EXPECT_EQ(JpegMessageText(JMSG_COPYRIGHT), "");
    EXPECT_EQ(JpegMessageText(JMSG_VERSION), "");
    EXPECT_EQ(JpegMessageText(-1), "Corrupted");
    EXPECT_EQ(JpegMessageText(JMSG_LASTMSGCODE), "Corrupted");
}

TEST(JpegWriter, ProgressReportsEachPercentageOnceAndAbortStopsTheRows) {
    auto buffer = MakeBuffer(16, 40, io24RGB, Gradient);
    TIOParamsVals params;
    WriteResult run = Write(*buffer, params);
    std::vector<int> expected;
    for (int row = 1; row <= 40; ++row) expected.push_back(row * 100 / 40);
    EXPECT_EQ(run.percents, expected);  // 2, 5, 7, 10, ..., 100
    EXPECT_EQ(run.abort, 0);

    // 97 rows: the last report is 100, not a floating-point 99.
    auto tall = MakeBuffer(4, 97, io24RGB, Gradient);
    run = Write(*tall, params);
    ASSERT_FALSE(run.percents.empty());
    EXPECT_EQ(run.percents.back(), 100);
    EXPECT_EQ(run.percents.size(), 97u);

    // An abort set by the handler at 50 per cent: rows stop, no EOI, no exception.
    run = Write(*buffer, params, SIZE_MAX, 50);
    EXPECT_EQ(run.abort, 1);
    EXPECT_EQ(run.counter, 20);
    EXPECT_EQ(run.percents.back(), 50);
    EXPECT_FALSE(Has(WalkMarkers(run.file), 0xD9));
}

// ---- Through the save ------------------------------------------------------------------------

TEST(JpegWriter, SaveToFileWritesADecodableJpegAndConvertsGreyInPlace) {
    const fs::path dir = fs::temp_directory_path() / ("pictolith-jpeg-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "thumb.JPG").string();

    TImageView view;
    TBitmap picture;
    picture.SetBitsPerPixel(24);
    picture.SetSize(20, 10);
    picture.FillRect(0, 0, 20, 10, RGBColor(200, 30, 40));
    picture.SetBitsPerPixel(8);  // grey levels with a grey-ramp table
    *view.GetIO()->GetBitmap() = picture;
    ASSERT_EQ(view.IEBitmap().PixelFormat(), io8g);
    view.GetIO()->SaveToFile(path);
    EXPECT_EQ(view.GetIO()->AbortRequested, 0);
    EXPECT_EQ(view.GetIO()->Params.FileType, kFileTypeJpeg);
    EXPECT_EQ(view.IEBitmap().PixelFormat(), io24RGB);

    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
    const Decoded d = Decode(file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 20);
    EXPECT_EQ(d.height, 10);
    const uint8_t grey = view.IEBitmap().ScanLine(3)[5 * 3];
    EXPECT_NEAR(d.At(5, 3)[0], grey, 3);
    fs::remove_all(dir);
}

}  // namespace
