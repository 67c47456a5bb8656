// The GIF writer: the file layout byte by byte where it can be worked out by hand, pixels checked
// with giflib, the one-bit path, transparency, progress and the abort rules.
#include "gif_test_support.h"

#include "imageio/errors.h"
#include "imageio/gif_lzw.h"
#include "imageio/gif_writer.h"
#include "imageio/image_io.h"
#include "imageio/quantizer.h"
#include "imageio/stream.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

using giftest::DecodeGif;
using giftest::GradientPicture;
using giftest::MakePicture;

// The writer's calls as the save makes them: a progress record whose handler records every
// percentage and can raise the abort flag at a chosen point.
struct GifRun {
    TImageIO io;
    TIOProgressRecord progress;
    std::vector<int> reported;
    int abortAt = -1;

    GifRun() {
        progress.Handler = &io;
        progress.Sender = &io;
        progress.AbortFlag = &io.AbortRequested;
        io.OnProgress = [this](void*, int percent) {
            reported.push_back(percent);
            if (percent == abortAt) io.AbortRequested = 1;
        };
    }

    std::vector<uint8_t> Write(TIOBitmap& picture, TIOStream& stream) {
        WriteGifImage(stream, picture, io.Params, progress);
        return static_cast<TIOMemoryStream&>(stream).Data();
    }

    std::vector<uint8_t> Write(TIOBitmap& picture) {
        TIOMemoryStream stream;
        return Write(picture, stream);
    }
};

std::vector<uint8_t> Bytes(const std::vector<uint8_t>& data, size_t from, size_t count) {
    return std::vector<uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(from),
                                data.begin() + static_cast<std::ptrdiff_t>(from + count));
}

TIOColorBGR ColourAt(TIOBitmap& picture, int x, int y) {
    const uint8_t* p = picture.ScanLine(y) + x * 3;
    return TIOColorBGR{p[0], p[1], p[2]};
}

// Table entries in file order (red, green, blue) from offset 13.
TIOColorBGR TableEntry(const std::vector<uint8_t>& gif, int index) {
    const size_t at = 13 + static_cast<size_t>(index) * 3;
    return RGBColor(gif[at], gif[at + 1], gif[at + 2]);
}

constexpr size_t kAfterTable = 13 + 768;   // with eight bits per pixel

TEST(GifWriter, FiftyTwoSquareLearnedPictureHasTheDefaultLayout) {
    auto picture = GradientPicture(52, 52);
    GifRun run;
    const std::vector<uint8_t> gif = run.Write(*picture);
    ASSERT_GT(gif.size(), kAfterTable + 20);

    EXPECT_EQ(Bytes(gif, 0, 11), (std::vector<uint8_t>{0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x34, 0x00, 0x34, 0x00, 0xF7}));
    EXPECT_EQ(gif[12], 0x00);
    // Background and transparent colours are both black: one lookup, one index.
    const uint8_t background = gif[11];
    EXPECT_EQ(Bytes(gif, kAfterTable, 6), (std::vector<uint8_t>{0x21, 0xF9, 0x04, 0x08, 0x00, 0x00}));
    EXPECT_EQ(gif[kAfterTable + 6], background);
    EXPECT_EQ(Bytes(gif, kAfterTable + 7, 12),
              (std::vector<uint8_t>{0x00, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x34, 0x00, 0x34, 0x00, 0x00, 0x08}));
    EXPECT_EQ(Bytes(gif, gif.size() - 4, 4), (std::vector<uint8_t>{0x21, 0xFE, 0x00, 0x3B}));
    EXPECT_EQ(run.reported, (std::vector<int>{0, 30, 70, 100}));
    EXPECT_EQ(run.io.AbortRequested, 0);

    // A decoder we did not write sees the quantizer's table and, for every pixel, the index the
    // quantizer gives its colour; the colours stay close to the original's.
    const auto decoded = DecodeGif(gif);
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->width, 52);
    ASSERT_EQ(decoded->height, 52);
    EXPECT_EQ(decoded->transparentIndex, -1);
    EXPECT_EQ(decoded->disposal, 2);
    std::array<TIOColorBGR, 256> map{};
    TIOQuantizer quantizer(*picture, map.data(), 256);
    ASSERT_EQ(decoded->palette.size(), 256u);
    for (size_t i = 0; i < 256; ++i) ASSERT_EQ(decoded->palette[i], map[i]) << i;
    EXPECT_EQ(background, quantizer.MapColor(RGBColor(0, 0, 0)));
    double total = 0;
    for (int y = 0; y < 52; ++y) {
        for (int x = 0; x < 52; ++x) {
            const TIOColorBGR want = ColourAt(*picture, x, y);
            ASSERT_EQ(decoded->indices[static_cast<size_t>(y * 52 + x)], quantizer.MapColor(want)) << x << "," << y;
            const TIOColorBGR got = decoded->PixelColour(x, y);
            total += std::abs(want.R - got.R) + std::abs(want.G - got.G) + std::abs(want.B - got.B);
        }
    }
    // 256 colours for a gradient through the whole cube learned from 1352 samples: about 20.
    EXPECT_LT(total / (52 * 52), 30.0);

    // The same picture gives the same bytes every time.
    GifRun again;
    EXPECT_EQ(again.Write(*picture), gif);
}

TEST(GifWriter, FewColoursAreWrittenExactlyInOrderOfFirstAppearance) {
    const std::vector<TIOColorBGR> colours{RGBColor(250, 10, 10), RGBColor(10, 250, 10), RGBColor(10, 10, 250),
                                           RGBColor(255, 255, 0), RGBColor(1, 2, 3)};
    auto picture = MakePicture(23, 11, io24RGB, [&](int x, int y) {
        (void)y;
        return colours[static_cast<size_t>(x / 5 % 5)];
    });
    GifRun run;
    const std::vector<uint8_t> gif = run.Write(*picture);
    for (size_t i = 0; i < colours.size(); ++i) EXPECT_EQ(TableEntry(gif, static_cast<int>(i)), colours[i]) << i;
    for (int i = 5; i < 256; ++i) ASSERT_EQ(TableEntry(gif, i), RGBColor(0, 0, 0)) << i;
    // Black is not among them: the exact map has no index for it.
    EXPECT_EQ(gif[11], 255);
    EXPECT_EQ(gif[kAfterTable + 6], 255);

    const auto decoded = DecodeGif(gif);
    ASSERT_TRUE(decoded.has_value());
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 23; ++x) ASSERT_EQ(decoded->indices[static_cast<size_t>(y * 23 + x)], (x / 5) % 5);
}

TEST(GifWriter, GreyPictureUsesTheRampWithIndexEqualToLevel) {
    auto picture = MakePicture(16, 16, io24RGB, [](int x, int y) {
        const auto v = static_cast<uint8_t>(255 - (y * 16 + x));
        return RGBColor(v, v, v);
    });
    GifRun run;
    const std::vector<uint8_t> gif = run.Write(*picture);
    for (int i = 0; i < 256; ++i) {
        const auto v = static_cast<uint8_t>(i);
        ASSERT_EQ(TableEntry(gif, i), RGBColor(v, v, v)) << i;
    }
    EXPECT_EQ(gif[11], 0);
    EXPECT_EQ(gif[kAfterTable + 6], 0);
    const auto decoded = DecodeGif(gif);
    ASSERT_TRUE(decoded.has_value());
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) ASSERT_EQ(decoded->indices[static_cast<size_t>(y * 16 + x)], 255 - (y * 16 + x));
}

TEST(GifWriter, AlphaChannelMakesIndexTwoHundredFiftyFiveTransparent) {
    auto picture = GradientPicture(40, 30);
    TIOBitmap& alpha = picture->AlphaChannel();
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) alpha.ScanLine(y)[x] = static_cast<uint8_t>(x < 10 ? 0 : (x < 20 ? 254 : 255));
    GifRun run;
    ASSERT_EQ(run.io.Params.GifTransparent, 0);
    const std::vector<uint8_t> gif = run.Write(*picture);
    EXPECT_EQ(run.io.Params.GifTransparent, 1);
    EXPECT_EQ(gif[kAfterTable + 3], 0x09);
    EXPECT_EQ(gif[kAfterTable + 6], 255);
    const auto decoded = DecodeGif(gif);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->transparentIndex, 255);
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 40; ++x) {
            const uint8_t index = decoded->indices[static_cast<size_t>(y * 40 + x)];
            if (x < 20) ASSERT_EQ(index, 255) << x << "," << y;
            else ASSERT_LT(index, 255) << x << "," << y;   // 255 colours are learned for the opaque pixels
        }
    }
}

TEST(GifWriter, ThirtyTwoBitPictureIsWrittenAsItsTwentyFourBitEquivalent) {
    // Both a learned map (a gradient) and an exact one (a few colours).
    auto gradient24 = GradientPicture(60, 45, io24RGB);
    auto gradient32 = GradientPicture(60, 45, io32RGB);
    EXPECT_EQ(GifRun().Write(*gradient32), GifRun().Write(*gradient24));
    auto few = [](int x, int y) { return RGBColor(static_cast<uint8_t>(x % 3 * 90), 40, static_cast<uint8_t>(y % 2 * 200)); };
    auto few24 = MakePicture(9, 7, io24RGB, few);
    auto few32 = MakePicture(9, 7, io32RGB, few);
    EXPECT_EQ(GifRun().Write(*few32), GifRun().Write(*few24));
}

TEST(GifWriter, OneBitTwoColoursGiveBlackAndWhiteWithTheDarkerAtZero) {
    const TIOColorBGR red = RGBColor(255, 0, 0);
    const TIOColorBGR navy = RGBColor(0, 0, 128);
    for (bool redFirst : {true, false}) {
        auto picture = MakePicture(13, 5, io24RGB, [&](int x, int y) { return ((x + y) % 3 == 0) == redFirst ? red : navy; });
        GifRun run;
        run.io.Params.BitsPerSample = 1;
        const std::vector<uint8_t> gif = run.Write(*picture);
        EXPECT_EQ(gif[10], 0x80);
        EXPECT_EQ(Bytes(gif, 13, 6), (std::vector<uint8_t>{0, 0, 0, 255, 255, 255}));
        // Background and transparent colours (black) are nearest to entry 0.
        EXPECT_EQ(gif[11], 0);
        EXPECT_EQ(gif[19 + 6], 0);
        EXPECT_EQ(gif[19 + 18], 2) << "minimum code size";
        const auto decoded = DecodeGif(gif);
        ASSERT_TRUE(decoded.has_value());
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 13; ++x)
                ASSERT_EQ(decoded->indices[static_cast<size_t>(y * 13 + x)], ColourAt(*picture, x, y) == red ? 1 : 0);
    }
}

TEST(GifWriter, TwoColourLuminanceRoundsHalvesToEven) {
    EXPECT_EQ(TwoColourLuminance(RGBColor(255, 0, 0)), 54);      // 53.55
    EXPECT_EQ(TwoColourLuminance(RGBColor(0, 0, 128)), 10);      // 10.24
    EXPECT_EQ(TwoColourLuminance(RGBColor(50, 0, 0)), 10);       // 10.5 -> 10
    EXPECT_EQ(TwoColourLuminance(RGBColor(150, 0, 0)), 32);      // 31.5 -> 32
    EXPECT_EQ(TwoColourLuminance(RGBColor(255, 255, 255)), 255);
}

TEST(GifWriter, OneBitTwoColourScanStopsAtARowThatStartsWithAThirdColourKnown) {
    // Row 0 holds three colours; the scan stops before row 1, so this is no two-colour picture.
    auto three = MakePicture(3, 2, io24RGB, [](int x, int) {
        return x == 0 ? RGBColor(0, 0, 0) : (x == 1 ? RGBColor(255, 255, 255) : RGBColor(200, 200, 200));
    });
    EXPECT_FALSE(TwoColourIndices(*three).has_value());
    auto one = MakePicture(3, 2, io24RGB, [](int, int) { return RGBColor(9, 9, 9); });
    EXPECT_FALSE(TwoColourIndices(*one).has_value());

    // Without a two-colour picture the buffer's own one-bit conversion decides; light grey is white.
    GifRun run;
    run.io.Params.BitsPerSample = 1;
    const auto decoded = DecodeGif(run.Write(*three));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->indices, (std::vector<uint8_t>{0, 1, 1, 0, 1, 1}));
}

TEST(GifWriter, InterlacedFlagAndRowOrder) {
    auto picture = MakePicture(6, 13, io24RGB, [](int x, int y) { return RGBColor(static_cast<uint8_t>(y * 19), static_cast<uint8_t>(x), 5); });
    GifRun run;
    run.io.Params.GifInterlaced = 1;
    const std::vector<uint8_t> gif = run.Write(*picture);
    EXPECT_EQ(gif[kAfterTable + 8 + 9], 0x40);
    const auto decoded = DecodeGif(gif);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_TRUE(decoded->interlaced);
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 6; ++x) ASSERT_EQ(decoded->PixelColour(x, y), ColourAt(*picture, x, y)) << x << "," << y;
}

TEST(GifWriter, PalettePictureKeepsItsIndices) {
    TIOBitmap picture;
    picture.SetLocation(ioMemory);
    ASSERT_TRUE(picture.Allocate(4, 2, io8p));
    std::vector<TIOColorBGR> palette(256);
    for (int i = 0; i < 256; ++i) palette[static_cast<size_t>(i)] = RGBColor(static_cast<uint8_t>(i), 0, static_cast<uint8_t>(255 - i));
    picture.SetPalette(palette);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) picture.ScanLine(y)[x] = static_cast<uint8_t>(y * 100 + x * 7);
    GifRun run;
    run.io.Params.GifBackgroundColor = RGBColor(99, 0, 150);   // nearest entry: 99 (distance 6)
    const std::vector<uint8_t> gif = run.Write(picture);
    EXPECT_EQ(gif[11], 99);
    EXPECT_EQ(gif[kAfterTable + 6], 0);   // black is 255 away from every entry: the lowest index wins
    const auto decoded = DecodeGif(gif);
    ASSERT_TRUE(decoded.has_value());
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) ASSERT_EQ(decoded->indices[static_cast<size_t>(y * 4 + x)], y * 100 + x * 7);
    EXPECT_EQ(decoded->palette[200], RGBColor(200, 0, 55));
}

TEST(GifWriter, CommentLinesBecomeSubBlocks) {
    auto picture = MakePicture(2, 2, io24RGB, [](int x, int) { return x ? RGBColor(1, 1, 2) : RGBColor(3, 3, 4); });
    GifRun run;
    run.io.Params.GifComments = {"hello", "x"};
    const std::vector<uint8_t> gif = run.Write(*picture);
    const std::vector<uint8_t> tail{0x21, 0xFE, 5, 'h', 'e', 'l', 'l', 'o', 1, 'x', 0x00, 0x3B};
    EXPECT_EQ(Bytes(gif, gif.size() - tail.size(), tail.size()), tail);
    const auto decoded = DecodeGif(gif);
    ASSERT_TRUE(decoded.has_value());
    ASSERT_FALSE(decoded->comments.empty());
    EXPECT_EQ(decoded->comments[0], "hellox");   // a decoder joins the sub-blocks
}

TEST(GifWriter, LongAndEmptyCommentLinesKeepTheFileReadable) {
    auto picture = MakePicture(2, 2, io24RGB, [](int, int) { return RGBColor(1, 1, 2); });
    GifRun run;
    run.io.Params.GifComments = {std::string(300, 'a'), "", "b"};
    const std::vector<uint8_t> gif = run.Write(*picture);
    std::vector<uint8_t> tail{0x21, 0xFE, 255};
    tail.insert(tail.end(), 255, 'a');
    tail.push_back(45);
    tail.insert(tail.end(), 45, 'a');
    tail.insert(tail.end(), {1, 'b', 0x00, 0x3B});
    EXPECT_EQ(Bytes(gif, gif.size() - tail.size(), tail.size()), tail);
    EXPECT_TRUE(DecodeGif(gif).has_value());
}

// ---- Abort and short writes ----

TEST(GifWriter, AbortBeforeTheCallWritesNothing) {
    auto picture = GradientPicture(20, 20);
    GifRun run;
    run.io.AbortRequested = 1;
    EXPECT_TRUE(run.Write(*picture).empty());
    EXPECT_EQ(run.reported, (std::vector<int>{0}));
}

TEST(GifWriter, AbortSeenAtThirtyPercentWritesNothing) {
    auto picture = GradientPicture(20, 20);
    GifRun run;
    run.abortAt = 30;
    EXPECT_TRUE(run.Write(*picture).empty());
    EXPECT_EQ(run.reported, (std::vector<int>{0, 30}));
}

TEST(GifWriter, AbortSeenAtSeventyPercentEndsAfterTheImageDescriptor) {
    auto picture = GradientPicture(20, 20);
    GifRun run;
    run.abortAt = 70;
    const std::vector<uint8_t> gif = run.Write(*picture);
    EXPECT_EQ(gif.size(), kAfterTable + 8 + 10);
    EXPECT_EQ(gif.back(), 0x00);   // the descriptor's packed fields
    EXPECT_EQ(run.reported, (std::vector<int>{0, 30, 70}));
}

TEST(GifWriter, ShortWriteInTheHeaderStopsAtSeventyPercent) {
    auto picture = GradientPicture(20, 20);
    GifRun run;
    TIOMemoryStream stream(100);
    const std::vector<uint8_t> gif = run.Write(*picture, stream);
    EXPECT_EQ(gif.size(), 100u);
    EXPECT_EQ(run.io.AbortRequested, 1);
    EXPECT_EQ(run.reported, (std::vector<int>{0, 30, 70}));
}

TEST(GifWriter, ShortWriteInTheImageDataIsSeenByTheLastCheckedWrites) {
    auto picture = GradientPicture(20, 20);
    GifRun run;
    TIOMemoryStream stream(kAfterTable + 8 + 10 + 50);
    run.Write(*picture, stream);
    EXPECT_EQ(run.io.AbortRequested, 1);
    EXPECT_EQ(run.reported, (std::vector<int>{0, 30, 70, 100}));
}

TEST(GifWriter, MissingEncoderEndsAfterTheDescriptorAndFlagsAbort) {
    auto picture = GradientPicture(20, 20);
    const TIOGifLzwEncoder saved = DefaultGifLzwEncoder;
    DefaultGifLzwEncoder = nullptr;
    GifRun run;
    run.io.Params.GifLzwEncoder = nullptr;
    const std::vector<uint8_t> gif = run.Write(*picture);
    DefaultGifLzwEncoder = saved;
    EXPECT_EQ(gif.size(), kAfterTable + 8 + 10);
    EXPECT_EQ(run.io.AbortRequested, 1);
}

TEST(GifWriter, ParametersEncoderIsUsedOrElseTheDefault) {
    auto picture = GradientPicture(8, 8);
    GifRun run;
    run.io.Params.GifLzwEncoder = nullptr;   // falls back to DefaultGifLzwEncoder
    const std::vector<uint8_t> fallback = run.Write(*picture);
    EXPECT_EQ(fallback, GifRun().Write(*picture));
    EXPECT_TRUE(DecodeGif(fallback).has_value());
}

TEST(GifWriter, UnsupportedBitsPerSampleIsRefusedBeforeWriting) {
    auto picture = GradientPicture(8, 8);
    for (int bits : {0, 9, 16}) {
        GifRun run;
        run.io.Params.BitsPerSample = bits;
        TIOMemoryStream stream;
        EXPECT_THROW(run.Write(*picture, stream), EIOError) << bits;
        EXPECT_TRUE(stream.Data().empty());
    }
}

// ---- Through the save dispatch ----

TEST(GifSave, ThumbnailBufferSavedAsGifDecodes) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("pictolith-gif-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "thumb.gif").string();

    TImageView view;
    TBitmap thumbnail;
    thumbnail.SetBitsPerPixel(24);
    thumbnail.SetSize(52, 52);
    thumbnail.FillRect(0, 0, 52, 52, RGBColor(255, 255, 255));
    thumbnail.FillRect(10, 10, 42, 42, RGBColor(30, 90, 200));
    *view.GetIO()->GetBitmap() = thumbnail;
    view.GetIO()->SaveToFile(path);
    EXPECT_EQ(view.GetIO()->Params.FileType, kFileTypeGif);
    EXPECT_EQ(view.GetIO()->Params.FileName, path);

    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> gif{std::istreambuf_iterator<char>(in), {}};
    std::filesystem::remove_all(dir);
    const auto decoded = DecodeGif(gif);
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->width, 52);
    for (int y = 0; y < 52; ++y)
        for (int x = 0; x < 52; ++x) {
            const bool inside = x >= 10 && x < 42 && y >= 10 && y < 42;
            ASSERT_EQ(decoded->PixelColour(x, y), inside ? RGBColor(30, 90, 200) : RGBColor(255, 255, 255)) << x << "," << y;
        }
}

TEST(GifSave, EmptyPictureGivesAWellFormedFileWithoutPixels) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("pictolith-gif-empty-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "empty.gif").string();
    TImageView view;   // its platform bitmap is 0 x 0 at 24 bits
    view.GetIO()->SaveToFile(path);
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> gif{std::istreambuf_iterator<char>(in), {}};
    std::filesystem::remove_all(dir);
    ASSERT_EQ(gif.size(), kAfterTable + 8 + 10 + 6 + 4);
    EXPECT_EQ(Bytes(gif, 6, 5), (std::vector<uint8_t>{0, 0, 0, 0, 0xF7}));
    // Clear and End only, then the comment extension and the trailer.
    EXPECT_EQ(Bytes(gif, kAfterTable + 18, 10), (std::vector<uint8_t>{0x08, 0x03, 0x00, 0x03, 0x02, 0x00, 0x21, 0xFE, 0x00, 0x3B}));
}

}  // namespace
