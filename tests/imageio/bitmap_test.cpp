// The image buffer: row geometry, the platform-bitmap binding and the conversions the save path uses.
#include "imageio/bitmap.h"
#include "imageio/image_io.h"

#include <gtest/gtest.h>

namespace {

struct RowLengthCase {
    int width;
    int bitCount;
    int expected;
};

class RowLengthTest : public ::testing::TestWithParam<RowLengthCase> {};

TEST_P(RowLengthTest, PadsToWholeWords) {
    const RowLengthCase& c = GetParam();
    EXPECT_EQ(RowLength(c.width, c.bitCount), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Widths, RowLengthTest,
                         ::testing::Values(RowLengthCase{1, 24, 4}, RowLengthCase{5, 24, 16}, RowLengthCase{4, 24, 12},
                                           RowLengthCase{96, 24, 288}, RowLengthCase{53, 24, 160},
                                           RowLengthCase{1, 1, 4}, RowLengthCase{33, 1, 8}, RowLengthCase{3, 8, 4},
                                           RowLengthCase{7, 32, 28}, RowLengthCase{0, 24, 0}),
                         [](const auto& info) {
                             return "w" + std::to_string(info.param.width) + "_bits" + std::to_string(info.param.bitCount);
                         });

TEST(PixelFormatTable, BitsAndSamples) {
    EXPECT_EQ(PixelFormatBitCount(io24RGB), 24);
    EXPECT_EQ(PixelFormatChannelCount(io24RGB), 3);
    EXPECT_EQ(PixelFormatBitCount(io32RGB), 32);
    EXPECT_EQ(PixelFormatChannelCount(io32RGB), 4);
    EXPECT_EQ(PixelFormatBitCount(io1g), 1);
    EXPECT_EQ(PixelFormatBitCount(ioRGB48), 48);
    EXPECT_EQ(PixelFormatBitCount(ioNone), 0);
}

TBitmap Filled24(int width, int height, TIOColorBGR colour) {
    TBitmap bitmap;
    bitmap.SetBitsPerPixel(24);
    bitmap.SetSize(width, height);
    bitmap.FillRect(0, 0, width, height, colour);
    return bitmap;
}

TEST(ImageViewHandOff, BufferFollowsTheAssignedBitmap) {
    TImageView view;
    TIOBitmap& buffer = view.IEBitmap();
    EXPECT_EQ(buffer.Location(), ioTBitmap);
    EXPECT_EQ(buffer.PixelFormat(), io24RGB);
    EXPECT_EQ(buffer.Width(), 0);

    TBitmap* target = view.GetIO()->GetBitmap();
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(view.GetIO(), view.GetIO());
    EXPECT_FALSE(view.GetIO()->OwnsBuffer());

    *target = Filled24(5, 3, RGBColor(10, 20, 30));
    EXPECT_EQ(buffer.Width(), 5);
    EXPECT_EQ(buffer.Height(), 3);
    EXPECT_EQ(buffer.RowLength(), 16);
    EXPECT_EQ(buffer.ScanLine(2)[0], 30);  // B of the bottom row's first pixel

    // Same size and depth again: the buffer must read the new pixels, not the old memory.
    *target = Filled24(5, 3, RGBColor(200, 100, 50));
    EXPECT_EQ(buffer.Width(), 5);
    EXPECT_EQ(buffer.ScanLine(0)[0], 50);
    EXPECT_EQ(buffer.ScanLine(2)[14], 200);
    EXPECT_EQ(buffer.ScanLine(1), target->ScanLine(1));
}

TEST(ImageViewHandOff, ThirtyTwoBitBitmapConvertsKeepingBlueGreenRed) {
    TImageView view;
    TBitmap source;
    source.SetBitsPerPixel(32);
    source.SetSize(3, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            uint8_t* p = source.ScanLine(y) + x * 4;
            p[0] = uint8_t(x * 40 + y);
            p[1] = uint8_t(100 + x);
            p[2] = uint8_t(200 + y);
            p[3] = 7;
        }
    *view.GetIO()->GetBitmap() = source;
    TIOBitmap& buffer = view.IEBitmap();
    EXPECT_EQ(buffer.PixelFormat(), io32RGB);
    EXPECT_FALSE(buffer.HasAlphaChannel());
    buffer.ConvertPixelFormat(io24RGB);
    EXPECT_EQ(buffer.PixelFormat(), io24RGB);
    EXPECT_EQ(buffer.RowLength(), 12);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            const uint8_t* p = buffer.ScanLine(y) + x * 3;
            EXPECT_EQ(p[0], x * 40 + y);
            EXPECT_EQ(p[1], 100 + x);
            EXPECT_EQ(p[2], 200 + y);
        }
}

TEST(ImageViewHandOff, EightBitTableDecidesGreyOrPalette) {
    TImageView view;
    TBitmap grey;
    grey.SetBitsPerPixel(8);  // a grey ramp table
    grey.SetSize(4, 4);
    *view.GetIO()->GetBitmap() = grey;
    EXPECT_EQ(view.IEBitmap().PixelFormat(), io8g);

    TBitmap paletted = grey;
    paletted.ColorTable()[3] = RGBColor(255, 0, 0);
    *view.GetIO()->GetBitmap() = paletted;
    TIOBitmap& buffer = view.IEBitmap();
    EXPECT_EQ(buffer.PixelFormat(), io8p);
    ASSERT_EQ(buffer.PaletteCount(), 256);
    EXPECT_EQ(buffer.PaletteColor(3), RGBColor(255, 0, 0));
    EXPECT_EQ(buffer.PaletteColor(4), RGBColor(4, 4, 4));
}

TEST(MemoryBuffer, RowsAreStoredBottomUpAndConvert) {
    TIOBitmap buffer;
    ASSERT_TRUE(buffer.Allocate(2, 2, io1g));
    EXPECT_EQ(buffer.Location(), ioMemory);
    buffer.ScanLine(0)[0] = 0x80;  // top row: white, black
    buffer.ScanLine(1)[0] = 0x40;  // bottom row: black, white
    EXPECT_GT(buffer.ScanLine(0), buffer.ScanLine(1));  // the last row comes first in memory
    buffer.ConvertPixelFormat(io24RGB);
    EXPECT_EQ(buffer.PixelFormat(), io24RGB);
    EXPECT_EQ(buffer.ScanLine(0)[0], 255);
    EXPECT_EQ(buffer.ScanLine(0)[3], 0);
    EXPECT_EQ(buffer.ScanLine(1)[0], 0);
    EXPECT_EQ(buffer.ScanLine(1)[5], 255);
    buffer.ConvertPixelFormat(io1g);
    EXPECT_EQ(buffer.ScanLine(0)[0] & 0xC0, 0x80);
    EXPECT_EQ(buffer.ScanLine(1)[0] & 0xC0, 0x40);
}

TEST(MemoryBuffer, AllocateRefusesEmptySizesAndSameRequestIsANoOp) {
    TIOBitmap buffer;
    EXPECT_FALSE(buffer.Allocate(0, 5, io24RGB));
    EXPECT_EQ(buffer.Width(), 0);
    EXPECT_FALSE(buffer.Allocate(5, 5, ioNone));
    ASSERT_TRUE(buffer.Allocate(5, 5, io24RGB));
    uint8_t* first = buffer.ScanLine(0);
    first[0] = 42;
    EXPECT_TRUE(buffer.Allocate(5, 5, io24RGB));
    EXPECT_EQ(buffer.ScanLine(0), first);
    EXPECT_EQ(buffer.ScanLine(0)[0], 42);
    ASSERT_TRUE(buffer.Allocate(2, 2, io8p));
    EXPECT_EQ(buffer.PaletteCount(), 256);
}

TEST(PlatformBuffer, RefusesFormatsABitmapCannotHold) {
    TImageView view;
    TIOBitmap& buffer = view.IEBitmap();
    for (TIOPixelFormatId format : {io32f, ioCMYK, ioRGB48, ioCIELab}) {
        EXPECT_FALSE(buffer.Allocate(4, 4, format)) << int(format);
        EXPECT_EQ(buffer.Width(), 0);
    }
    ASSERT_TRUE(buffer.Allocate(4, 4, io16g));
    EXPECT_EQ(buffer.PixelFormat(), io8g);
}

TEST(AlphaChannel, MadeOnDemandFullAndCopiedWithTheBuffer) {
    TIOBitmap buffer;
    ASSERT_TRUE(buffer.Allocate(3, 2, io24RGB));
    EXPECT_FALSE(buffer.HasAlphaChannel());
    EXPECT_EQ(buffer.AlphaAt(2, 1), 255);
    ASSERT_TRUE(buffer.HasAlphaChannel());
    TIOBitmap& alpha = buffer.AlphaChannel();
    EXPECT_TRUE(alpha.IsAlphaBuffer());
    EXPECT_TRUE(alpha.Full());
    alpha.ScanLine(1)[2] = 9;
    alpha.SetFull(false);
    alpha.CheckFull();
    EXPECT_FALSE(alpha.Full());

    TIOBitmap copy;
    copy.AssignFrom(buffer);
    ASSERT_TRUE(copy.HasAlphaChannel());
    EXPECT_EQ(copy.AlphaAt(2, 1), 9);

    TIOBitmap plain;
    ASSERT_TRUE(plain.Allocate(3, 2, io24RGB));
    copy.AssignFrom(plain);
    EXPECT_FALSE(copy.HasAlphaChannel());

    alpha.Fill(255);
    EXPECT_TRUE(alpha.Full());
}

TEST(PlatformBuffer, PlatformBitmapMovesMemoryPixels) {
    TIOBitmap buffer;
    ASSERT_TRUE(buffer.Allocate(2, 3, io24RGB));
    buffer.ScanLine(2)[3] = 77;
    TBitmap& bitmap = buffer.PlatformBitmap();
    EXPECT_EQ(buffer.Location(), ioTBitmap);
    EXPECT_EQ(bitmap.Width(), 2);
    EXPECT_EQ(bitmap.Height(), 3);
    EXPECT_EQ(bitmap.ScanLine(2)[3], 77);
    EXPECT_EQ(buffer.ScanLine(2), bitmap.ScanLine(2));
}

TEST(TempFileStore, ThresholdIsAtLeastThirtyTwoMebibytes) {
    EXPECT_GE(TempFileThreshold(), uint64_t{32} << 20);
}

}  // namespace
