// The GIF LZW encoder: hand-worked code streams, sub-block framing, table resets, interlaced
// reading order, and decoding by giflib.
#include "gif_test_support.h"

#include "imageio/gif_lzw.h"
#include "imageio/stream.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> Encode(int width, int height, const std::vector<uint8_t>& indices, int bitsPerPixel,
                            bool interlaced = false) {
    TIOMemoryStream stream;
    GifLzwCompress(stream, height, width, interlaced, indices.data(), bitsPerPixel);
    return stream.Data();
}

// A minimal GIF around the encoder's output, with a grey global table of 2^bits entries.
std::vector<uint8_t> WrapInGif(int width, int height, int bits, bool interlaced, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> gif{'G', 'I', 'F', '8', '9', 'a'};
    auto put16 = [&gif](int v) {
        gif.push_back(static_cast<uint8_t>(v & 0xFF));
        gif.push_back(static_cast<uint8_t>(v >> 8));
    };
    put16(width);
    put16(height);
    gif.push_back(static_cast<uint8_t>(0x80 | ((bits - 1) << 4) | (bits - 1)));
    gif.push_back(0);
    gif.push_back(0);
    for (int i = 0; i < (1 << bits); ++i) gif.insert(gif.end(), 3, static_cast<uint8_t>(i));
    gif.push_back(0x2C);
    put16(0);
    put16(0);
    put16(width);
    put16(height);
    gif.push_back(interlaced ? 0x40 : 0);
    gif.insert(gif.end(), data.begin(), data.end());
    gif.push_back(0x3B);
    return gif;
}

std::vector<uint8_t> Noise(size_t count, int symbols, uint32_t seed) {
    std::vector<uint8_t> out(count);
    for (uint8_t& v : out) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<uint8_t>((seed >> 16) % static_cast<uint32_t>(symbols));
    }
    return out;
}

// The sub-blocks' data joined, after checking their framing: a run of full 254-byte blocks, one
// shorter last block, and the terminator as the very last byte.
std::vector<uint8_t> JoinSubBlocks(const std::vector<uint8_t>& encoded) {
    std::vector<uint8_t> data;
    size_t at = 1;   // after the minimum code size
    while (true) {
        EXPECT_LT(at, encoded.size());
        if (at >= encoded.size()) break;
        const size_t length = encoded[at++];
        if (length == 0) break;
        EXPECT_LE(length, 254u);
        EXPECT_LE(at + length, encoded.size());
        if (at + length > encoded.size()) break;
        const bool last = encoded[at + length] == 0;
        if (!last) {
            EXPECT_EQ(length, 254u) << "short sub-block before the end, at " << at;
        }
        data.insert(data.end(), encoded.begin() + static_cast<std::ptrdiff_t>(at),
                    encoded.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    EXPECT_EQ(at, encoded.size()) << "bytes after the terminator";
    return data;
}

// The code stream read back with the width schedule of a GIF decoder: after Clear the codes are
// minimum + 1 bits wide, and the width grows once the next table entry would not fit in it.
// Returns the codes between Clear codes, one list per Clear.
std::vector<std::vector<int>> ReadCodeRuns(const std::vector<uint8_t>& bytes, int minCodeSize) {
    const int clear = 1 << minCodeSize;
    const int end = clear + 1;
    std::vector<std::vector<int>> runs;
    size_t bitPosition = 0;
    int width = minCodeSize + 1;
    int next = clear + 2;
    bool first = true;
    while (bitPosition + static_cast<size_t>(width) <= bytes.size() * 8) {
        int code = 0;
        for (int b = 0; b < width; ++b, ++bitPosition) {
            if ((bytes[bitPosition / 8] >> (bitPosition % 8)) & 1) code |= 1 << b;
        }
        if (code == end) break;
        if (code == clear) {
            runs.emplace_back();
            width = minCodeSize + 1;
            next = clear + 2;
            first = true;
            continue;
        }
        EXPECT_FALSE(runs.empty()) << "data before the first Clear";
        if (runs.empty()) break;
        runs.back().push_back(code);
        // Every code but the first after a Clear adds a table entry.
        if (!first && next < 4096) ++next;
        first = false;
        if (next + 1 > (1 << width) && width < 12) ++width;
    }
    return runs;
}

struct StreamCase {
    const char* name;
    int width;
    int height;
    std::vector<uint8_t> indices;
    int bits;
    std::vector<uint8_t> expected;
};

class HandWorkedStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(HandWorkedStream, GivesExactlyTheseBytes) {
    const StreamCase& c = GetParam();
    EXPECT_EQ(Encode(c.width, c.height, c.indices, c.bits), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, HandWorkedStream,
    ::testing::Values(
        // Clear 256, index 0, End 257 at 9 bits: 27 bits padded to four bytes.
        StreamCase{"OnePixelEightBits", 1, 1, {0}, 8, {0x08, 0x04, 0x00, 0x01, 0x04, 0x04, 0x00}},
        // One bit per pixel still needs minimum code size 2: Clear 4, index 1, End 5 at 3 bits.
        StreamCase{"OnePixelOneBit", 1, 1, {1}, 1, {0x02, 0x02, 0x4C, 0x01, 0x00}},
        StreamCase{"OnePixelZeroBits", 1, 1, {1}, 0, {0x02, 0x02, 0x4C, 0x01, 0x00}},
        // Clear, 0, then the string "0 0" found as code 258, End.
        StreamCase{"RunReusesAString", 3, 1, {0, 0, 0}, 8, {0x08, 0x05, 0x00, 0x01, 0x08, 0x0C, 0x08, 0x00}},
        // No pixels: Clear and End only.
        StreamCase{"NoPixels", 0, 0, {}, 8, {0x08, 0x03, 0x00, 0x03, 0x02, 0x00}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RoundTripCase {
    const char* name;
    int width;
    int height;
    int bits;
    int symbols;
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, GiflibDecodesTheIndices) {
    const RoundTripCase& c = GetParam();
    const std::vector<uint8_t> indices = Noise(static_cast<size_t>(c.width) * c.height, c.symbols, 7u + c.width);
    const std::vector<uint8_t> encoded = Encode(c.width, c.height, indices, c.bits);
    ASSERT_EQ(encoded[0], std::max(c.bits, 2));
    JoinSubBlocks(encoded);
    const auto decoded = giftest::DecodeGif(WrapInGif(c.width, c.height, std::max(c.bits, 1), false, encoded));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->indices, indices);
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, RoundTrip,
    ::testing::Values(RoundTripCase{"NoiseEightBits", 256, 256, 8, 256}, RoundTripCase{"FewSymbolsEightBits", 300, 200, 8, 3},
                      RoundTripCase{"OneBit", 97, 61, 1, 2}, RoundTripCase{"FourBits", 128, 100, 4, 16},
                      RoundTripCase{"SingleIndex", 256, 256, 8, 1}, RoundTripCase{"OneRow", 5000, 1, 8, 40}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GifLzw, TableFullGivesPrefixThenClearAndRestartsAtNineBits) {
    // Noise uses up the 3838 free codes (258..4095) again and again. After each Clear exactly
    // 3839 codes come: one per new string, and the prefix of the string that found no room.
    const std::vector<uint8_t> indices = Noise(200 * 200, 256, 99);
    const std::vector<uint8_t> encoded = Encode(200, 200, indices, 8);
    const std::vector<std::vector<int>> runs = ReadCodeRuns(JoinSubBlocks(encoded), 8);
    ASSERT_GE(runs.size(), 3u);
    for (size_t i = 0; i + 1 < runs.size(); ++i) EXPECT_EQ(runs[i].size(), 3839u) << "run " << i;
    EXPECT_LE(runs.back().size(), 3839u);
    // The reader's own width schedule found the End code where the data ends.
    size_t codes = 0;
    for (const auto& run : runs) codes += run.size();
    EXPECT_GT(codes, 0u);
}

TEST(GifLzw, InterlacedRowsAreReadInPassOrder) {
    // Rows numbered by their index; a one-pixel-wide picture shows the reading order directly in
    // the code stream of a picture whose every pixel is new.
    struct OrderCase {
        int height;
        std::vector<int> order;
    };
    const std::vector<OrderCase> cases{{3, {0, 2, 1}}, {5, {0, 4, 2, 1, 3}}, {1, {0}}, {2, {0, 1}},
                                       {9, {0, 8, 4, 2, 6, 1, 3, 5, 7}}};
    for (const OrderCase& c : cases) {
        std::vector<uint8_t> indices(static_cast<size_t>(c.height));
        for (int row = 0; row < c.height; ++row) indices[static_cast<size_t>(row)] = static_cast<uint8_t>(row * 10 + 1);
        const std::vector<uint8_t> encoded = Encode(1, c.height, indices, 8, true);
        const auto runs = ReadCodeRuns(JoinSubBlocks(encoded), 8);
        ASSERT_EQ(runs.size(), 1u);
        std::vector<int> expected;
        for (int row : c.order) expected.push_back(row * 10 + 1);
        EXPECT_EQ(runs[0], expected) << "height " << c.height;
    }
}

TEST(GifLzw, InterlacedPicturesDecodeForEveryHeight) {
    for (int height = 1; height <= 20; ++height) {
        const int width = 7;
        const std::vector<uint8_t> indices = Noise(static_cast<size_t>(width) * height, 5, static_cast<uint32_t>(height));
        const auto decoded = giftest::DecodeGif(WrapInGif(width, height, 8, true, Encode(width, height, indices, 8, true)));
        ASSERT_TRUE(decoded.has_value()) << height;
        EXPECT_EQ(decoded->indices, indices) << "height " << height;
    }
}

TEST(GifLzw, DefaultEncoderIsTheBuiltInOne) {
    EXPECT_EQ(DefaultGifLzwEncoder, &GifLzwCompress);
    EXPECT_EQ(TIOParamsVals().GifLzwEncoder, &GifLzwCompress);
}

}  // namespace
