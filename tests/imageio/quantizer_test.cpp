// The colour quantizer: how the map is chosen, the exact and grey maps, NeuQuant's sampling and
// lookup, the box method, and the palette fallback.
#include "gif_test_support.h"

#include "imageio/neuquant.h"
#include "imageio/quantizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>

namespace {

using giftest::GradientPicture;
using giftest::MakePicture;

const TIOColorBGR kSentinel = RGBColor(1, 2, 3);

std::array<TIOColorBGR, 256> SentinelMap() {
    std::array<TIOColorBGR, 256> map;
    map.fill(kSentinel);
    return map;
}

int Distance(TIOColorBGR a, TIOColorBGR b) {
    return std::abs(a.R - b.R) + std::abs(a.G - b.G) + std::abs(a.B - b.B);
}

// ---- NeuQuant's sampling factor, step and method choice ----

struct SamplingCase {
    int64_t pixels;
    int quality;
    int expected;
};

class SamplingFactorTest : public ::testing::TestWithParam<SamplingCase> {};

TEST_P(SamplingFactorTest, FollowsPictureSizeOrQuality) {
    const SamplingCase& c = GetParam();
    EXPECT_EQ(NeuQuantSamplingFactor(c.pixels, c.quality), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SamplingFactorTest,
    ::testing::Values(SamplingCase{52 * 52, -1, 2}, SamplingCase{80 * 80, -1, 2}, SamplingCase{128 * 128, -1, 3},
                      SamplingCase{160 * 160, -1, 4}, SamplingCase{200 * 200, -1, 5}, SamplingCase{256 * 256, -1, 8},
                      SamplingCase{76000, -1, 8},   // exactly 8.5: halves go to even
                      SamplingCase{1, -1, 1}, SamplingCase{1999, -1, 1}, SamplingCase{2000, -1, 2},
                      SamplingCase{7692, -1, 2}, SamplingCase{7693, -1, 3}, SamplingCase{19076, -1, 3},
                      SamplingCase{19077, -1, 4}, SamplingCase{int64_t{1} << 40, -1, 30},
                      SamplingCase{100, 100, 1}, SamplingCase{100, 50, 15}, SamplingCase{100, 0, 30},
                      SamplingCase{1000000, 90, 3}));

TEST(NeuQuantStep, PicksAPrimeThatDoesNotDivideTheByteCount) {
    EXPECT_EQ(NeuQuantStep(256 * 256 * 3), 499);
    EXPECT_EQ(NeuQuantStep(499 * 3), 491);
    EXPECT_EQ(NeuQuantStep(499 * 491), 487);
    EXPECT_EQ(NeuQuantStep(int64_t{499} * 491 * 487), 503);
}

TEST(LearnedMapMethod, NeuQuantFromOneHundredTwentyEightColoursUnlessForced) {
    EXPECT_EQ(LearnedMapMethod(-1, 256), 0);
    EXPECT_EQ(LearnedMapMethod(-1, 128), 0);
    EXPECT_EQ(LearnedMapMethod(-1, 127), 1);
    EXPECT_EQ(LearnedMapMethod(0, 16), 0);
    EXPECT_EQ(LearnedMapMethod(1, 256), 1);
    EXPECT_EQ(LearnedMapMethod(7, 16), 0);
}

// ---- Exact colours ----

TEST(Quantizer, SingleColourThatIsNotGreyGivesAOneEntryMap) {
    auto picture = MakePicture(5, 4, io24RGB, [](int, int) { return RGBColor(200, 10, 30); });
    auto map = SentinelMap();
    TIOQuantizer q(*picture, map.data(), 256);
    EXPECT_EQ(map[0], RGBColor(200, 10, 30));
    for (size_t i = 1; i < map.size(); ++i) ASSERT_EQ(map[i], kSentinel) << i;
    EXPECT_EQ(q.MapColor(RGBColor(200, 10, 30)), 0);
    EXPECT_EQ(q.MapColor(RGBColor(0, 0, 0)), -1);
    EXPECT_EQ(q.MapColor(RGBColor(200, 10, 31)), -1);
}

TEST(Quantizer, ExactColoursComeInOrderOfFirstAppearance) {
    // Rows from the top, pixels from the left: blue, red, then green first appears in row 1.
    const std::array<TIOColorBGR, 3> colours{RGBColor(0, 0, 255), RGBColor(255, 0, 0), RGBColor(0, 255, 0)};
    auto picture = MakePicture(4, 3, io24RGB, [&](int x, int y) {
        if (y == 0) return x < 2 ? colours[0] : colours[1];
        if (y == 1 && x == 3) return colours[2];
        return colours[(x + y) % 2];
    });
    auto map = SentinelMap();
    TIOQuantizer q(*picture, map.data(), 256);
    for (size_t i = 0; i < colours.size(); ++i) {
        EXPECT_EQ(map[i], colours[i]) << i;
        EXPECT_EQ(q.MapColor(colours[i]), static_cast<int>(i));
    }
    EXPECT_EQ(map[3], kSentinel);
}

TEST(Quantizer, ExactlyNColColoursStayExactOneMoreIsLearned) {
    // 256 distinct colours in a 16 x 16 picture, then the same with one pixel more.
    auto colourAt = [](int x, int y) { return RGBColor(static_cast<uint8_t>(x * 16 + y), static_cast<uint8_t>(255 - x * 16), 7); };
    auto exact = MakePicture(16, 16, io24RGB, colourAt);
    auto map = SentinelMap();
    TIOQuantizer q(*exact, map.data(), 256);
    EXPECT_EQ(map[255], colourAt(15, 15));
    EXPECT_EQ(q.MapColor(RGBColor(9, 9, 9)), -1);

    auto learned = MakePicture(17, 16, io24RGB, [&](int x, int y) { return x == 16 ? (y == 0 ? RGBColor(9, 9, 10) : colourAt(0, 0)) : colourAt(x, y); });
    TIOQuantizer nq(*learned, map.data(), 256);
    // A learned map answers for every colour, also for one the picture lacks.
    EXPECT_NE(nq.MapColor(RGBColor(9, 9, 9)), -1);
}

TEST(Quantizer, ExactColoursAreCountedAgainstNCol) {
    auto picture = MakePicture(3, 1, io24RGB, [](int x, int) { return RGBColor(static_cast<uint8_t>(x * 100), 0, 50); });
    auto map = SentinelMap();
    TIOQuantizer threeOfThree(*picture, map.data(), 3);
    EXPECT_EQ(threeOfThree.MapColor(RGBColor(200, 0, 50)), 2);
    // Two colours asked for: the box method (fewer than 128) builds the map instead.
    auto boxMap = SentinelMap();
    TIOQuantizer twoOfThree(*picture, boxMap.data(), 2);
    const int index = twoOfThree.MapColor(RGBColor(200, 0, 50));
    EXPECT_TRUE(index == 0 || index == 1);
    EXPECT_EQ(boxMap[2], kSentinel);
}

// ---- Grey pictures ----

TEST(Quantizer, GreyPictureGetsTheRampAndMapsLevelToIndex) {
    auto picture = MakePicture(16, 16, io24RGB, [](int x, int y) {
        const auto v = static_cast<uint8_t>(y * 16 + x);
        return RGBColor(v, v, v);
    });
    auto map = SentinelMap();
    TIOQuantizer q(*picture, map.data(), 256);
    for (int i = 0; i < 256; ++i) {
        const auto v = static_cast<uint8_t>(i);
        ASSERT_EQ(map[static_cast<size_t>(i)], RGBColor(v, v, v)) << i;
        ASSERT_EQ(q.MapColor(RGBColor(v, v, v)), i);
    }
}

TEST(Quantizer, GreyRampWithTwoHundredFiftyFiveColours) {
    auto picture = MakePicture(2, 2, io24RGB, [](int x, int) { return x ? RGBColor(255, 255, 255) : RGBColor(0, 0, 0); });
    auto map = SentinelMap();
    TIOQuantizer q(*picture, map.data(), 255);
    for (int i = 0; i < 255; ++i) {
        const auto v = static_cast<uint8_t>(256 * i / 255);
        ASSERT_EQ(map[static_cast<size_t>(i)], RGBColor(v, v, v)) << i;
    }
    EXPECT_EQ(map[255], kSentinel);
    EXPECT_EQ(q.MapColor(RGBColor(255, 255, 255)), 254);
    EXPECT_EQ(q.MapColor(RGBColor(0, 0, 0)), 0);
}

TEST(Quantizer, SingleGreyColourGivesTheRampNotAnExactMap) {
    auto picture = MakePicture(3, 3, io24RGB, [](int, int) { return RGBColor(255, 255, 255); });
    auto map = SentinelMap();
    TIOQuantizer q(*picture, map.data(), 256);
    EXPECT_EQ(map[0], RGBColor(0, 0, 0));
    EXPECT_EQ(map[255], RGBColor(255, 255, 255));
    EXPECT_EQ(q.MapColor(RGBColor(255, 255, 255)), 255);
    // The ramp's lookup reads only red.
    EXPECT_EQ(q.MapColor(RGBColor(128, 0, 0)), 128);
}

TEST(Quantizer, FormatsWithoutColourCountAsGrey) {
    TIOBitmap grey;
    grey.SetLocation(ioMemory);
    ASSERT_TRUE(grey.Allocate(4, 4, io8g));
    auto map = SentinelMap();
    TIOQuantizer q(grey, map.data(), 16);
    EXPECT_EQ(map[1], RGBColor(16, 16, 16));
    EXPECT_EQ(map[15], RGBColor(240, 240, 240));
    EXPECT_EQ(q.MapColor(RGBColor(255, 0, 0)), 15);
}

TEST(Quantizer, ColourThirtyTwoBitPictureGetsNoMap) {
    auto picture = GradientPicture(20, 20, io32RGB);
    auto map = SentinelMap();
    TIOQuantizer q(*picture, map.data(), 256);
    for (const TIOColorBGR& entry : map) ASSERT_EQ(entry, kSentinel);
    EXPECT_EQ(q.MapColor(RGBColor(10, 20, 30)), 0);
}

// ---- Palette pictures ----

TEST(Quantizer, PalettePictureCopiesItsPaletteAndLooksColoursUpInIt) {
    TIOBitmap picture;
    picture.SetLocation(ioMemory);
    ASSERT_TRUE(picture.Allocate(2, 2, io8p));
    std::vector<TIOColorBGR> palette{RGBColor(10, 0, 0), RGBColor(0, 20, 0), RGBColor(10, 0, 0), RGBColor(0, 0, 30)};
    picture.SetPalette(palette);
    auto map = SentinelMap();
    TIOQuantizer q(picture, map.data(), 256);
    for (size_t i = 0; i < palette.size(); ++i) EXPECT_EQ(map[i], palette[i]);
    // A palette shorter than the map leaves the rest of the map alone.
    EXPECT_EQ(map[4], kSentinel);
    EXPECT_EQ(q.MapColor(RGBColor(10, 0, 0)), 0);   // the first equal entry
    EXPECT_EQ(q.MapColor(RGBColor(0, 0, 30)), 3);
    EXPECT_EQ(q.MapColor(RGBColor(1, 1, 1)), 4);    // none equal: the entry count
}

// ---- NeuQuant ----

TEST(NeuQuant, LearnsTheSamePictureTheSameWay) {
    auto picture = GradientPicture(64, 48);
    auto first = SentinelMap();
    auto second = SentinelMap();
    TIOQuantizer a(*picture, first.data(), 256);
    TIOQuantizer b(*picture, second.data(), 256);
    EXPECT_EQ(first, second);
    for (int v = 0; v < 256; v += 5) {
        const TIOColorBGR c = RGBColor(static_cast<uint8_t>(v), static_cast<uint8_t>(255 - v), static_cast<uint8_t>(v / 2));
        ASSERT_EQ(a.MapColor(c), b.MapColor(c));
    }
}

TEST(NeuQuant, LookupFindsANearestEntry) {
    // The green-ordered walk must find an entry as near (sum of absolute differences) as the
    // nearest one by brute force, whatever the colour.
    auto picture = GradientPicture(96, 96);
    auto map = SentinelMap();
    TIOQuantizer q(*picture, map.data(), 256);
    uint32_t seed = 12345;
    for (int n = 0; n < 3000; ++n) {
        seed = seed * 1664525u + 1013904223u;
        const TIOColorBGR c{static_cast<uint8_t>(seed >> 8), static_cast<uint8_t>(seed >> 16), static_cast<uint8_t>(seed >> 24)};
        int bestDistance = 1000;
        for (const TIOColorBGR& entry : map) bestDistance = std::min(bestDistance, Distance(entry, c));
        const int index = q.MapColor(c);
        ASSERT_GE(index, 0);
        ASSERT_LT(index, 256);
        ASSERT_EQ(Distance(map[static_cast<size_t>(index)], c), bestDistance) << n;
    }
}

TEST(NeuQuant, ScanLookupGivesTheWalksAnswer) {
    // The lookup's distance scan against the green-ordered walk, ties included, over a sweep of
    // the cube: a gradient, noise, and a picture of few hues in many shades, which gives many
    // equally near entries; full and smaller maps.
    uint32_t noiseSeed = 99;
    const std::array<std::unique_ptr<TIOBitmap>, 3> pictures{
        GradientPicture(96, 96),
        MakePicture(80, 80, io24RGB,
                    [&noiseSeed](int, int) {
                        noiseSeed = noiseSeed * 1664525u + 1013904223u;
                        return RGBColor(static_cast<uint8_t>(noiseSeed >> 8), static_cast<uint8_t>(noiseSeed >> 16),
                                        static_cast<uint8_t>(noiseSeed >> 24));
                    }),
        MakePicture(90, 90, io24RGB, [](int x, int y) {
            const int level = (x * 3 + y) % 256;
            return (x / 30) % 3 == 0 ? RGBColor(static_cast<uint8_t>(level), 0, 0)
                                     : RGBColor(static_cast<uint8_t>(level), static_cast<uint8_t>(level), static_cast<uint8_t>(255 - level));
        }),
    };
    for (size_t p = 0; p < pictures.size(); ++p) {
        for (int ncol : {256, 200, 128}) {
            auto map = SentinelMap();
            TIOQuantizer q(*pictures[p], map.data(), ncol);
            for (int r = 0; r < 256; r += 3) {
                for (int g = 0; g < 256; g += 2) {
                    for (int b = 0; b < 256; b += 5) {
                        const TIOColorBGR c{static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r)};
                        ASSERT_EQ(q.MapColor(c), q.MapColorByWalk(c)) << p << " " << ncol << " " << r << "," << g << "," << b;
                    }
                }
            }
        }
    }
}

TEST(NeuQuant, NarrowContestLearnsTheWideContestsMap) {
    // Up to 32767 samples the contest keeps its biases in 32 bits; the maps must be the same
    // as with 64-bit biases, for every network size and sampling the quantizer uses.
    uint32_t seed = 5;
    auto noisyGradient = MakePicture(181, 120, io24RGB, [&seed](int x, int y) {
        seed = seed * 1664525u + 1013904223u;
        const int noise = static_cast<int>(seed >> 28) - 8;
        return RGBColor(static_cast<uint8_t>(std::clamp(x * 255 / 180 + noise, 0, 255)),
                        static_cast<uint8_t>(std::clamp(y * 2 + noise, 0, 255)),
                        static_cast<uint8_t>(std::clamp((x + y) / 2 - noise, 0, 255)));
    });
    for (int ncol : {2, 16, 128, 255, 256}) {
        for (int factor : {1, 3, 10, 30}) {
            auto narrow = SentinelMap();
            auto wide = SentinelMap();
            NeuQuantLearnMap(*noisyGradient, ncol, factor, narrow.data());
            NeuQuantLearnMap(*noisyGradient, ncol, factor, wide.data(), true);
            ASSERT_EQ(narrow, wide) << ncol << " colours, factor " << factor;
        }
    }
}

struct NeuQuantSide {
    int width;
    int height;
};

class NeuQuantQuality : public ::testing::TestWithParam<NeuQuantSide> {};

TEST_P(NeuQuantQuality, MapFitsThePicture) {
    // Small pictures learn from every pixel, larger ones from one in several. A gradient over the
    // whole cube is the hard case for 256 colours (a well-spread map gives a mean near 15; a map
    // that learned nothing, the initial grey diagonal, gives about 110).
    const NeuQuantSide side = GetParam();
    auto picture = GradientPicture(side.width, side.height);
    auto map = SentinelMap();
    TIOQuantizer q(*picture, map.data(), 256);
    int64_t total = 0;
    int worst = 0;
    for (int y = 0; y < side.height; ++y) {
        const uint8_t* row = picture->ScanLine(y);
        for (int x = 0; x < side.width; ++x) {
            const TIOColorBGR c{row[x * 3], row[x * 3 + 1], row[x * 3 + 2]};
            const int d = Distance(map[static_cast<size_t>(q.MapColor(c))], c);
            total += d;
            worst = std::max(worst, d);
        }
    }
    const double mean = static_cast<double>(total) / (side.width * side.height);
    EXPECT_LT(mean, 30.0);
    EXPECT_LT(worst, 100);
}

INSTANTIATE_TEST_SUITE_P(Sides, NeuQuantQuality,
                         ::testing::Values(NeuQuantSide{17, 17}, NeuQuantSide{52, 52}, NeuQuantSide{128, 128},
                                           NeuQuantSide{256, 256}, NeuQuantSide{257, 1}, NeuQuantSide{1, 600}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

TEST(NeuQuant, FindsEveryClusterOfAClusteredPicture) {
    // Eight tight clusters at the cube's corners, 40 shades each (320 colours): every pixel must
    // map to an entry within its cluster's spread.
    auto picture = MakePicture(40, 8, io24RGB, [](int x, int y) {
        const auto level = [x](int bit, int corner) {
            return static_cast<uint8_t>((corner >> bit & 1) ? 235 - x % 7 : 20 + x / 7);
        };
        return RGBColor(level(0, y), level(1, y), level(2, y));
    });
    auto map = SentinelMap();
    TIOQuantizer q(*picture, map.data(), 256);
    for (int y = 0; y < 8; ++y) {
        const uint8_t* row = picture->ScanLine(y);
        for (int x = 0; x < 40; ++x) {
            const TIOColorBGR c{row[x * 3], row[x * 3 + 1], row[x * 3 + 2]};
            ASSERT_LT(Distance(map[static_cast<size_t>(q.MapColor(c))], c), 30) << x << "," << y;
        }
    }
}

// Two traces worked out by hand. Components carry 4 fraction bits while learning, so a byte v
// enters as 16 v and leaves as (n + 8) >> 4.

TEST(NeuQuant, OneSampleMovesTheWinnerAndItsNeighbours) {
    // 16 neurons start at 256 i; radius count 2, so rad = 2 and the neighbours at distance 1 move
    // by radius power 1 = ((4 - 1) * 256 / 4) * 1024 = 196608, three quarters of the way.
    // The sample (B 100, G 50, R 200) enters as (1600, 800, 3200); neuron 6 (1536) is nearest
    // (distance 2464) and takes the sample; neuron 7 becomes 1792 - 0.75 (1792 - x) per component:
    // (1648, 1048, 2848); neuron 5: (1520, 920, 2720).
    auto picture = MakePicture(1, 1, io24RGB, [](int, int) { return RGBColor(200, 50, 100); });
    auto map = SentinelMap();
    NeuQuantLearnMap(*picture, 16, 1, map.data());
    for (int i = 0; i < 16; ++i) {
        const auto v = static_cast<uint8_t>(16 * i);
        if (i < 5 || i > 7) {
            EXPECT_EQ(map[static_cast<size_t>(i)], RGBColor(v, v, v)) << i;
        }
    }
    EXPECT_EQ(map[5], (TIOColorBGR{95, 58, 170}));    // (1528, 928, 2728) >> 4
    EXPECT_EQ(map[6], (TIOColorBGR{100, 50, 200}));
    EXPECT_EQ(map[7], (TIOColorBGR{103, 66, 178}));   // (1656, 1056, 2856) >> 4
    EXPECT_EQ(map[16], kSentinel);
}

TEST(NeuQuant, BiasAlphaDecayAndTheWrappedSamplePosition) {
    // Two neurons at 0 and 2048, radius 0. A 2 x 1 picture gives two samples: position 0, then
    // 0 + 499 - 2 = 497, whose row 248 wraps to 248 mod 1 = 0 and whose column is 497 mod 2 = 1.
    // Sample 1 (1600, 800, 3200): neuron 1 (distance 2848) wins and becomes the sample; every
    // neuron's frequency loses 32 (32768 >> 10) and its bias gains 32 << 10; the winner then gains
    // 64 frequency and loses 65536 bias: bias 0 = 32768, bias 1 = -32768. Alpha: 1024 - 1024 / 30
    // = 990.
    // Sample 2 (160, 320, 480): neuron 0 at distance 960 (biased 960 - 8) beats neuron 1 (4640,
    // biased 4648) and moves by 990 / 1024: 0 - (-160 * 990) / 1024 = 154, likewise 309 and 464.
    auto picture = MakePicture(2, 1, io24RGB, [](int x, int) { return x == 0 ? RGBColor(200, 50, 100) : RGBColor(30, 20, 10); });
    auto map = SentinelMap();
    NeuQuantLearnMap(*picture, 2, 1, map.data());
    EXPECT_EQ(map[0], (TIOColorBGR{10, 19, 29}));     // (162, 317, 472) >> 4
    EXPECT_EQ(map[1], (TIOColorBGR{100, 50, 200}));
}

TEST(NeuQuant, ContestTieGoesToTheLowerNeuron) {
    // Grey 64 enters as 1024, exactly between neurons 0 (0) and 1 (2048): neuron 0 takes it.
    auto picture = MakePicture(1, 1, io24RGB, [](int, int) { return RGBColor(64, 64, 64); });
    auto map = SentinelMap();
    NeuQuantLearnMap(*picture, 2, 1, map.data());
    EXPECT_EQ(map[0], RGBColor(64, 64, 64));
    EXPECT_EQ(map[1], RGBColor(128, 128, 128));
}

// ---- Box method ----

TEST(BoxMethod, FewerThanOneHundredTwentyEightColoursSplitTheCube) {
    auto picture = GradientPicture(64, 64);
    auto map = SentinelMap();
    TIOQuantizer q(*picture, map.data(), 16);
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(map[i].R % 8, 0) << i;   // box means are on the 32-level scale
        EXPECT_EQ(map[i].G % 8, 0) << i;
        EXPECT_EQ(map[i].B % 8, 0) << i;
    }
    EXPECT_EQ(map[16], kSentinel);
    int64_t total = 0;
    std::array<bool, 16> used{};
    for (int y = 0; y < 64; ++y) {
        const uint8_t* row = picture->ScanLine(y);
        for (int x = 0; x < 64; ++x) {
            const TIOColorBGR c{row[x * 3], row[x * 3 + 1], row[x * 3 + 2]};
            const int index = q.MapColor(c);
            ASSERT_GE(index, 0);
            ASSERT_LT(index, 16);
            used[static_cast<size_t>(index)] = true;
            total += Distance(map[static_cast<size_t>(index)], c);
        }
    }
    EXPECT_EQ(std::count(used.begin(), used.end(), true), 16);
    // Sixteen boxes over a gradient through the whole cube: about 46 on average.
    EXPECT_LT(static_cast<double>(total) / (64 * 64), 60.0);
}

}  // namespace
