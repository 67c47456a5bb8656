// The worker's pure parts: fitting arithmetic, the DCT scale choice, the EXIF reader, content
// sniffing and the SVG clean-up.
#include "fixtures.h"
#include "thumbs/worker/exif_orientation.h"
#include "thumbs/worker/format_sniff.h"
#include "thumbs/worker/picture_fit.h"
#include "thumbs/worker/svg_cleaner.h"

#include <gtest/gtest.h>
#include <zlib.h>

struct FitCase {
    int width, height, side;
    PictureSize expected;
};
class FitWithinTest : public ::testing::TestWithParam<FitCase> {};

TEST_P(FitWithinTest, ShrinksLongerEdgeToSideAndNeverEnlarges) {
    const FitCase& c = GetParam();
    EXPECT_EQ(FitWithin(c.width, c.height, c.side), c.expected);
    EXPECT_EQ(FitWithin(c.height, c.width, c.side), (PictureSize{c.expected.height, c.expected.width}));
}

INSTANTIATE_TEST_SUITE_P(FitMath, FitWithinTest, ::testing::Values(
    FitCase{300, 100, 100, {100, 33}},
    FitCase{300, 150, 100, {100, 50}},
    FitCase{199, 100, 100, {100, 50}},   // 50.25 rounds down
    FitCase{201, 101, 100, {100, 50}},
    FitCase{203, 101, 100, {100, 50}},   // 49.75 rounds up
    FitCase{50, 40, 100, {50, 40}},      // small: kept as it is
    FitCase{100, 100, 100, {100, 100}},
    FitCase{100000, 1, 256, {256, 1}},   // never rounds to nothing
    FitCase{0, 10, 100, {0, 0}}));

TEST(FitMath, JpegScaleIsTheSmallestThatStillCoversTheTarget) {
    for (int side : {52, 80, 128, 256}) {
        for (int width : {1, 7, 52, 99, 128, 300, 1000, 2401, 6000}) {
            for (int height : {1, 13, 128, 257, 1600, 4000}) {
                const PictureSize target = FitWithin(width, height, side);
                const int num = JpegScaleNumerator(width, height, side);
                ASSERT_GE(num, 1);
                ASSERT_LE(num, 8);
                EXPECT_GE(JpegScaledEdge(width, num), target.width) << width << "x" << height << " @" << side;
                EXPECT_GE(JpegScaledEdge(height, num), target.height) << width << "x" << height << " @" << side;
                if (num > 1) {
                    EXPECT_TRUE(JpegScaledEdge(width, num - 1) < target.width ||
                                JpegScaledEdge(height, num - 1) < target.height)
                        << width << "x" << height << " @" << side;
                }
            }
        }
    }
    EXPECT_EQ(JpegScaleNumerator(6000, 4000, 128), 1);  // a 24-megapixel photo decodes at 1/8
    EXPECT_EQ(JpegScaleNumerator(1000, 1000, 256), 3);
}

TEST(FitMath, VectorDocumentsFillTheBox) {
    EXPECT_EQ(FitVector(16, 8, 128), (PictureSize{128, 64}));
    EXPECT_EQ(FitVector(612, 792, 100), (PictureSize{77, 100}));
    EXPECT_EQ(FitVector(0, 10, 100), (PictureSize{0, 0}));
    EXPECT_EQ(FitVector(1e9, 1, 100), (PictureSize{100, 1}));
}

TEST(ExifOrientationParse, ReadsBothByteOrdersAndRejectsMalformedBlocks) {
    for (int orientation = 1; orientation <= 8; ++orientation) {
        for (bool big : {false, true}) {
            const QByteArray exif = ExifPayload(orientation, big);
            EXPECT_EQ(ExifOrientation(reinterpret_cast<const uint8_t*>(exif.constData()),
                                      static_cast<size_t>(exif.size())),
                      orientation);
        }
    }
    const QByteArray good = ExifPayload(6, false);
    auto parse = [](const QByteArray& bytes) {
        return ExifOrientation(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size()));
    };
    // Cut anywhere before the tag's value: never read past the end, answer "as stored".
    for (qsizetype cut = 0; cut < good.size() - 8; ++cut) EXPECT_EQ(parse(good.left(cut)), 1) << cut;
    QByteArray badValue = good;
    badValue[6 + 8 + 2 + 12 + 8] = 9;  // orientation 9 does not exist
    EXPECT_EQ(parse(badValue), 1);
    QByteArray farOffset = good;
    farOffset[6 + 4] = static_cast<char>(0xF0);  // IFD0 offset beyond the block
    farOffset[6 + 7] = static_cast<char>(0xFF);
    EXPECT_EQ(parse(farOffset), 1);
    QByteArray hugeCount = good;
    hugeCount[6 + 8] = static_cast<char>(0xFF);  // 65535 entries claimed, 2 present
    hugeCount[6 + 9] = static_cast<char>(0xFF);
    EXPECT_EQ(parse(hugeCount), 6);  // the real entries are still read, the rest refused
    EXPECT_EQ(parse(QByteArray("JFIF\0\0II*\0", 10)), 1);
}

struct SniffCase {
    const char* name;
    QByteArray head;
    SniffedFormat expected;
};

TEST(FormatSniff, TellsFormatsByContentOnly) {
    const SniffCase cases[] = {
        {"jpeg", QByteArray("\xFF\xD8\xFF\xE0", 4), SniffedFormat::Jpeg},
        {"png", QByteArray("\x89PNG\r\n\x1A\n", 8), SniffedFormat::Png},
        {"gif", QByteArray("GIF89a"), SniffedFormat::Gif},
        {"bmp", QByteArray("BM") + QByteArray(12, '\0') + QByteArray("\x28\0\0\0", 4), SniffedFormat::Bmp},
        {"BM text", QByteArray("BMW is a car brand, not a bitmap"), SniffedFormat::Unknown},
        {"webp", QByteArray("RIFF\0\0\0\0WEBPVP8 ", 16), SniffedFormat::WebP},
        {"wave", QByteArray("RIFF\0\0\0\0WAVEfmt ", 16), SniffedFormat::Unknown},
        {"tiff", QByteArray("II*\0", 4), SniffedFormat::Tiff},
        {"pdf", QByteArray("%PDF-1.7\n"), SniffedFormat::Pdf},
        {"pdf after junk", QByteArray("junk\n%PDF-1.4\n"), SniffedFormat::Pdf},
        {"svg", QByteArray("<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\"/>"),
         SniffedFormat::Svg},
        {"prefixed svg", QByteArray("  <s:svg xmlns:s=\"http://www.w3.org/2000/svg\">"), SniffedFormat::Svg},
        {"svgz", QByteArray("\x1F\x8B\x08", 3), SniffedFormat::SvgGzip},
        {"html", QByteArray("<html><body>svg</body></html>"), SniffedFormat::Unknown},
        {"svg word in text", QByteArray("this is <svgish> text"), SniffedFormat::Unknown},
        {"ico", QByteArray("\0\0\1\0", 4), SniffedFormat::Unknown},
        {"empty", QByteArray(), SniffedFormat::Unknown},
    };
    for (const SniffCase& c : cases) {
        EXPECT_EQ(SniffFormat(reinterpret_cast<const uint8_t*>(c.head.constData()), static_cast<size_t>(c.head.size())),
                  c.expected)
            << c.name;
    }
}

TEST(SvgCleanup, DropsImagesOfOtherFilesAndKeepsAllowedInlineOnes) {
    const QByteArray svg =
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE svg [<!ENTITY e \"x\">]>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"4\" "
        "height=\"4\">"
        "<image xlink:href=\"/etc/secret.png\" width=\"4\" height=\"4\"/>"
        "<image href=\"file:///etc/other.png\" width=\"4\" height=\"4\"><title>t</title></image>"
        "<image href=\"  data:image/png;base64,iVBORw0KGgoAAAANSUhEUg\" width=\"1\" height=\"1\"/>"
        "<image href=\"data:image/x-icon;base64,AAABAAEAEBA\" width=\"1\" height=\"1\"/>"
        "<rect width=\"4\" height=\"4\" fill=\"red\"/>"
        "</svg>";
    const std::optional<QByteArray> clean = StripExternalReferences(svg);
    ASSERT_TRUE(clean);
    EXPECT_FALSE(clean->contains("secret.png"));
    EXPECT_FALSE(clean->contains("other.png"));
    EXPECT_FALSE(clean->contains("<title>"));
    EXPECT_FALSE(clean->contains("ENTITY"));
    EXPECT_TRUE(clean->contains("data:image/png;base64,iVBORw0KGgo"));
    EXPECT_FALSE(clean->contains("x-icon"));  // inline, but not a format we decode
    EXPECT_TRUE(clean->contains("<rect"));
    EXPECT_FALSE(StripExternalReferences("<svg><unclosed></svg>"));
}

TEST(SvgCleanup, InflatesGzipWithinItsLimit) {
    const QByteArray text(100000, 'a');
    QByteArray compressed(static_cast<qsizetype>(compressBound(100000) + 32), '\0');
    z_stream stream{};
    ASSERT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.constData()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(compressed.data());
    stream.avail_out = static_cast<uInt>(compressed.size());
    ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    compressed.resize(static_cast<qsizetype>(stream.total_out));
    deflateEnd(&stream);

    EXPECT_EQ(InflateGzip(compressed, 100000), text);
    EXPECT_FALSE(InflateGzip(compressed, 99999));           // a bomb stops at the limit
    EXPECT_FALSE(InflateGzip(compressed.left(compressed.size() / 2), 100000));  // truncated
}
