// Whole decodes through the confined layer: every allowed format, fitting, exact small
// pictures, orientation, transparency, colour profiles, cached thumbnails and parallel callers.
#include "fixtures.h"
#include "thumbs/confined_decoder.h"

#include <QColorSpace>
#include <QColorTransform>
#include <QPainter>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

const TIOColorBGR kWhite = RGBColor(255, 255, 255);
const QColor kFill(200, 40, 30);

struct FormatCase {
    const char* name;
    std::function<QByteArray()> make;  // a 200 x 100 picture of kFill
    int tolerance;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

const FormatCase kFormats[] = {
    {"png", [] { return EncodeQt(SolidImage(200, 100, kFill), "png"); }, 1},
    {"gif", [] { return EncodeGif(SolidImage(200, 100, kFill)); }, 1},
    {"bmp", [] { return EncodeQt(SolidImage(200, 100, kFill), "bmp"); }, 1},
    {"webp", [] { return EncodeQt(SolidImage(200, 100, kFill), "webp", 90); }, 8},
    {"tiff", [] { return EncodeQt(SolidImage(200, 100, kFill), "tiff"); }, 1},
    {"jpeg", [] { return EncodeQt(SolidImage(200, 100, kFill), "jpeg", 95); }, 8},
    {"progressive jpeg", [] { return EncodeQt(SolidImage(200, 100, kFill), "jpeg", 95, true); }, 8},
    {"svg",
     [] {
         return QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"20\" height=\"10\">"
                           "<rect width=\"20\" height=\"10\" fill=\"rgb(200,40,30)\"/></svg>");
     },
     1},
    {"pdf", [] { return MakePdf(200, 100, kFill); }, 2},
};

class ConfinedFormats : public ::testing::TestWithParam<FormatCase> {};

// Named without an extension: the worker goes by content.
TEST_P(ConfinedFormats, DecodesAndFitsWithinTheSquare) {
    const FixtureDir dir;
    const std::string path = dir.Write("input", GetParam().make());
    for (int side : {64, 150}) {
        const std::optional<TBitmap> bitmap = DecodeFileConfined(path, side, kWhite);
        ASSERT_TRUE(bitmap) << side;
        EXPECT_EQ(bitmap->BitsPerPixel(), 24);
        // Raster pictures never grow beyond their 200 x 100; vector ones fill the box.
        EXPECT_EQ(bitmap->Width(), side == 64 ? 64 : 150);
        EXPECT_EQ(bitmap->Height(), side == 64 ? 32 : 75);
        EXPECT_LE(ColourDistance(ColourAt(*bitmap, bitmap->Width() / 2, bitmap->Height() / 2), kFill),
                  GetParam().tolerance);
        EXPECT_LE(ColourDistance(ColourAt(*bitmap, 0, 0), kFill), GetParam().tolerance + 2);
    }
}

INSTANTIATE_TEST_SUITE_P(AllowList, ConfinedFormats, ::testing::ValuesIn(kFormats),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 if (c == ' ') c = '_';
                             }
                             return name;
                         });

// 5 x 3, every pixel its own colour.
QImage SmallDistinctImage() {
    QImage image(5, 3, QImage::Format_RGB32);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) image.setPixel(x, y, qRgb(x * 60, y * 120, 255 - x * 50 - y * 7));
    }
    return image;
}

TEST(ConfinedFormatsExact, SmallLosslessPicturesKeepTheirExactPixels) {
    const FixtureDir dir;
    const QImage image = SmallDistinctImage();
    const std::pair<const char*, QByteArray> inputs[] = {
        {"png", EncodeQt(image, "png")},
        {"gif", EncodeGif(image)},
        {"bmp", EncodeQt(image, "bmp")},
        {"tiff", EncodeQt(image, "tiff")},
        {"lossless webp", EncodeQt(image, "webp", 100)},
    };
    for (const auto& [name, bytes] : inputs) {
        const std::optional<TBitmap> bitmap = DecodeFileConfined(dir.Write(name, bytes), 64, kWhite);
        ASSERT_TRUE(bitmap) << name;
        ASSERT_EQ(bitmap->Width(), 5) << name;
        ASSERT_EQ(bitmap->Height(), 3) << name;
        for (int y = 0; y < 3; ++y) {
            for (int x = 0; x < 5; ++x)
                EXPECT_EQ(ColourAt(*bitmap, x, y), QColor(image.pixel(x, y))) << name << " " << x << "," << y;
        }
    }
}

TEST(ConfinedFormatsScaling, FineDetailIsAveragedNotAliased) {
    // One-pixel black and white stripes: any point sampling gives black or white bands, area
    // averaging gives even grey.
    QImage stripes(1000, 500, QImage::Format_RGB32);
    for (int y = 0; y < 500; ++y) {
        for (int x = 0; x < 1000; ++x) stripes.setPixel(x, y, ((x + y) % 2) ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    }
    const FixtureDir dir;
    for (const char* format : {"png", "jpeg"}) {
        const std::optional<TBitmap> bitmap =
            DecodeFileConfined(dir.Write(format, EncodeQt(stripes, format, 100)), 100, kWhite);
        ASSERT_TRUE(bitmap) << format;
        ASSERT_EQ(bitmap->Width(), 100);
        ASSERT_EQ(bitmap->Height(), 50);
        for (int y = 0; y < 50; y += 7) {
            for (int x = 0; x < 100; x += 7)
                EXPECT_LE(ColourDistance(ColourAt(*bitmap, x, y), QColor(128, 128, 128)), 12) << format << x << "," << y;
        }
    }
}

TEST(ConfinedFormatsScaling, LargeJpegComesBackFitted) {
    const FixtureDir dir;
    const std::string path = dir.Write("photo.jpg", EncodeQt(QuadrantImage(2400, 1600), "jpeg", 90));
    const std::optional<TBitmap> bitmap = DecodeFileConfined(path, 128, kWhite);
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->Width(), 128);
    EXPECT_EQ(bitmap->Height(), 85);
    EXPECT_LE(ColourDistance(ColourAt(*bitmap, 32, 21), QColor(255, 0, 0)), 10);
    EXPECT_LE(ColourDistance(ColourAt(*bitmap, 96, 21), QColor(0, 255, 0)), 10);
    EXPECT_LE(ColourDistance(ColourAt(*bitmap, 32, 64), QColor(0, 0, 255)), 10);
    EXPECT_LE(ColourDistance(ColourAt(*bitmap, 96, 64), QColor(255, 255, 0)), 10);
}

struct OrientationCase {
    int orientation;
    QColor topLeft, topRight, bottomLeft, bottomRight;
    bool turned;  // width and height swap
};

TEST(ConfinedFormatsOrientation, ExifOrientationIsApplied) {
    const QColor red(255, 0, 0), green(0, 255, 0), blue(0, 0, 255), yellow(255, 255, 0);
    const OrientationCase cases[] = {
        {1, red, green, blue, yellow, false},  {2, green, red, yellow, blue, false},
        {3, yellow, blue, green, red, false},  {4, blue, yellow, red, green, false},
        {5, red, blue, green, yellow, true},   {6, blue, red, yellow, green, true},
        {7, yellow, green, blue, red, true},   {8, green, yellow, red, blue, true},
    };
    const FixtureDir dir;
    for (const OrientationCase& c : cases) {
        const std::string path =
            dir.Write("o" + std::to_string(c.orientation) + ".jpg", JpegWithExif(QuadrantImage(80, 40), c.orientation));
        for (int side : {100, 60}) {  // kept size and a reduced one
            const std::optional<TBitmap> bitmap = DecodeFileConfined(path, side, kWhite);
            ASSERT_TRUE(bitmap) << c.orientation;
            const int w = bitmap->Width(), h = bitmap->Height();
            const int longEdge = side == 100 ? 80 : 60;
            EXPECT_EQ(c.turned ? h : w, longEdge) << c.orientation;
            EXPECT_EQ(c.turned ? w : h, longEdge / 2) << c.orientation;
            EXPECT_LE(ColourDistance(ColourAt(*bitmap, w / 4, h / 4), c.topLeft), 24) << c.orientation;
            EXPECT_LE(ColourDistance(ColourAt(*bitmap, 3 * w / 4, h / 4), c.topRight), 24) << c.orientation;
            EXPECT_LE(ColourDistance(ColourAt(*bitmap, w / 4, 3 * h / 4), c.bottomLeft), 24) << c.orientation;
            EXPECT_LE(ColourDistance(ColourAt(*bitmap, 3 * w / 4, 3 * h / 4), c.bottomRight), 24) << c.orientation;
        }
    }
}

TEST(ConfinedFormatsAlpha, TransparencyIsCompositedOverTheBackground) {
    QImage image(3, 1, QImage::Format_ARGB32);
    image.setPixel(0, 0, qRgba(10, 20, 30, 255));
    image.setPixel(1, 0, qRgba(250, 0, 0, 0));
    image.setPixel(2, 0, qRgba(200, 100, 0, 128));
    const FixtureDir dir;
    const TIOColorBGR background = RGBColor(40, 200, 60);
    const std::optional<TBitmap> bitmap = DecodeFileConfined(dir.Write("alpha.png", EncodeQt(image, "png")), 64, background);
    ASSERT_TRUE(bitmap);
    ASSERT_EQ(bitmap->Width(), 3);
    EXPECT_EQ(ColourAt(*bitmap, 0, 0), QColor(10, 20, 30));
    EXPECT_EQ(ColourAt(*bitmap, 1, 0), QColor(40, 200, 60));
    const auto blend = [](int over, int under) { return (over * 128 + under * 127) / 255; };
    EXPECT_LE(ColourDistance(ColourAt(*bitmap, 2, 0), QColor(blend(200, 40), blend(100, 200), blend(0, 60))), 2);

    // An SVG's empty areas take the background too.
    const std::optional<TBitmap> svg = DecodeFileConfined(
        dir.Write("alpha.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\">"
                               "<rect width=\"5\" height=\"10\" fill=\"#0000ff\"/></svg>"),
        10, background);
    ASSERT_TRUE(svg);
    EXPECT_EQ(ColourAt(*svg, 2, 5), QColor(0, 0, 255));
    EXPECT_EQ(ColourAt(*svg, 8, 5), QColor(40, 200, 60));
}

TEST(ConfinedFormatsColour, EmbeddedProfileIsConvertedToSrgb) {
    QImage image = SolidImage(4, 4, QColor(200, 100, 50));
    const FixtureDir dir;
    const std::optional<TBitmap> plain = DecodeFileConfined(dir.Write("plain.png", EncodeQt(image, "png")), 64, kWhite);
    image.setColorSpace(QColorSpace(QColorSpace::AdobeRgb));
    const std::optional<TBitmap> tagged = DecodeFileConfined(dir.Write("adobe.png", EncodeQt(image, "png")), 64, kWhite);
    ASSERT_TRUE(plain);
    ASSERT_TRUE(tagged);
    EXPECT_EQ(ColourAt(*plain, 1, 1), QColor(200, 100, 50));  // no profile: left as it is
    const QColor expected(QColorSpace(QColorSpace::AdobeRgb)
                              .transformationToColorSpace(QColorSpace::SRgb)
                              .map(qRgb(200, 100, 50)));
    EXPECT_GT(ColourDistance(expected, QColor(200, 100, 50)), 10);  // the fixture shows a difference
    EXPECT_LE(ColourDistance(ColourAt(*tagged, 1, 1), expected), 2);
}

TEST(ConfinedFormatsNames, HostileNamesNeverReachTheWorker) {
    const FixtureDir dir;
    const QByteArray png = EncodeQt(SolidImage(8, 8, kFill), "png");
    for (const char* name : {"odd\xff\xfe name.png", "semi;colon[1].png", "-rf", "$(reboot).png", " lead"}) {
        const std::optional<TBitmap> bitmap = DecodeFileConfined(dir.Write(name, png), 64, kWhite);
        ASSERT_TRUE(bitmap) << name;
        EXPECT_EQ(ColourAt(*bitmap, 4, 4), kFill) << name;
    }
}

TEST(ConfinedParallel, ThreadsDecodeAtOnce) {
    const FixtureDir dir;
    const std::string paths[] = {
        dir.Write("a.png", EncodeQt(SolidImage(300, 100, QColor(255, 0, 0)), "png")),
        dir.Write("b.jpg", EncodeQt(SolidImage(100, 300, QColor(0, 0, 255)), "jpeg", 95)),
        dir.Write("c.gif", EncodeGif(SolidImage(50, 50, QColor(0, 255, 0)))),
        dir.Write("d.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"2\" height=\"1\">"
                           "<rect width=\"2\" height=\"1\" fill=\"#ffff00\"/></svg>"),
    };
    const struct {
        int w, h;
        QColor colour;
    } expected[] = {{90, 30, QColor(255, 0, 0)}, {30, 90, QColor(0, 0, 255)}, {50, 50, QColor(0, 255, 0)},
                    {90, 45, QColor(255, 255, 0)}};
    constexpr int kThreads = 6, kRounds = 8;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const int which = (t + round) % 4;
                const std::optional<TBitmap> bitmap = DecodeFileConfined(paths[which], 90, kWhite);
                if (!bitmap || bitmap->Width() != expected[which].w || bitmap->Height() != expected[which].h ||
                    ColourDistance(ColourAt(*bitmap, bitmap->Width() / 2, bitmap->Height() / 2),
                                   expected[which].colour) > 6)
                    ++failures[static_cast<size_t>(t)];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[static_cast<size_t>(t)], 0) << "thread " << t;
}

struct CacheCase {
    const char* name;
    const char* uri;      // written into the entry (nullptr: key absent)
    const char* mtime;
    const char* size;
    bool accepted;
};

TEST(ConfinedCache, EntryIsDecodedOnlyWhenItNamesTheFile) {
    const std::string uri = "file:///home/u/a%20b%3Bc%5B1%5D.jpg";
    const int64_t mtime = 1700000123;
    const int64_t fileSize = 4567;
    const CacheCase cases[] = {
        {"all match", uri.c_str(), "1700000123", "4567", true},
        {"no size key", uri.c_str(), "1700000123", nullptr, true},
        {"other uri", "file:///home/u/other.jpg", "1700000123", "4567", false},
        {"uri differs in escaping", "file:///home/u/a%20b;c[1].jpg", "1700000123", "4567", false},
        {"stale mtime", uri.c_str(), "1700000122", "4567", false},
        {"no mtime", uri.c_str(), nullptr, "4567", false},
        {"mtime not a number", uri.c_str(), "soon", "4567", false},
        {"size differs", uri.c_str(), "1700000123", "4568", false},
        {"no uri", nullptr, "1700000123", "4567", false},
    };
    const FixtureDir dir;
    for (const CacheCase& c : cases) {
        QImage entry = SolidImage(128, 64, QColor(0, 128, 255));
        if (c.uri) entry.setText("Thumb::URI", c.uri);
        if (c.mtime) entry.setText("Thumb::MTime", c.mtime);
        if (c.size) entry.setText("Thumb::Size", c.size);
        const std::string path = dir.Write(std::string(c.name) + ".png", EncodeQt(entry, "png"));
        const std::optional<TBitmap> bitmap = DecodeCachedThumbnailConfined(path, uri, mtime, fileSize, 100, kWhite);
        EXPECT_EQ(bitmap.has_value(), c.accepted) << c.name;
        if (bitmap) {
            EXPECT_EQ(bitmap->Width(), 100);
            EXPECT_EQ(bitmap->Height(), 50);
            EXPECT_EQ(ColourAt(*bitmap, 50, 25), QColor(0, 128, 255));
        }
    }
    // A cache entry must be a PNG, whatever it claims.
    QImage jpegEntry = SolidImage(16, 16, QColor(0, 128, 255));
    jpegEntry.setText("Thumb::URI", uri.c_str());
    jpegEntry.setText("Thumb::MTime", "1700000123");
    EXPECT_FALSE(DecodeCachedThumbnailConfined(dir.Write("entry.jpg", EncodeQt(jpegEntry, "jpeg")), uri, mtime,
                                               fileSize, 100, kWhite));
    EXPECT_FALSE(DecodeCachedThumbnailConfined(dir.Path("missing.png"), uri, mtime, fileSize, 100, kWhite));
}

TEST(ConfinedSandbox, WorkersRunConfined) {
    const std::string sandbox = ConfinedDecoderSandbox();
    std::printf("decoding workers confined by: %s\n", sandbox.c_str());
    EXPECT_NE(sandbox, "unavailable");
    const char* forced = std::getenv("PICTOLITH_WORKER_SANDBOX");
    if (forced && std::string(forced) == "landlock") {
        EXPECT_NE(sandbox, "bubblewrap");
    }
}

}  // namespace
