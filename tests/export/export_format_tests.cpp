// Output names, size texts and percentages of the export run.
#include "export/export_run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

struct OutputPathCase {
    const char* folder;
    const char* source;
    const char* type;
    const char* expected;
};

class OutputPathTest : public ::testing::TestWithParam<OutputPathCase> {};

TEST_P(OutputPathTest, JoinsFolderAndReplacesTheLastExtension) {
    const OutputPathCase& c = GetParam();
    EXPECT_EQ(BuildOutputPath(c.folder, c.source, c.type), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, OutputPathTest,
    ::testing::Values(OutputPathCase{"/out", "/in/photo.jpeg", ".png", "/out/photo.png"},
                      OutputPathCase{"/out", "/in/archive.tar.gz", ".png", "/out/archive.tar.png"},
                      OutputPathCase{"/out", "/in/README", ".png", "/out/README.png"},
                      OutputPathCase{"/out", "/in/.profile", ".png", "/out/.png"},
                      // One "/" whether or not the folder ends with one.
                      OutputPathCase{"/out/", "/in/photo.jpeg", ".gif", "/out/photo.gif"},
                      OutputPathCase{"/", "/in/photo.jpeg", ".bmp", "/photo.bmp"},
                      // A dot in a folder name is not an extension.
                      OutputPathCase{"/out", "/in/a.b/file", ".jpg", "/out/file.jpg"},
                      OutputPathCase{"/out", "/in/name.", ".jpg", "/out/name.jpg"},
                      // Bytes are kept as they are, whatever their encoding.
                      OutputPathCase{"/out", "/in/caf\xe9.png", ".jpg", "/out/caf\xe9.jpg"}));

struct SizeCase {
    const char* text;
    int expected;
};

class SizeTextTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SizeTextTest, ReadsAnIntegerOrFallsBackTo52) {
    EXPECT_EQ(ParseSizeText(GetParam().text), GetParam().expected) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SizeTextTest,
    ::testing::Values(SizeCase{"128", 128}, SizeCase{"  128", 128}, SizeCase{"$80", 128}, SizeCase{"0x80", 128},
                      SizeCase{"0X80", 128}, SizeCase{"x80", 128}, SizeCase{"X80", 128}, SizeCase{"+100", 100},
                      SizeCase{"-5", -5}, SizeCase{"-$10", -16}, SizeCase{"0128", 128}, SizeCase{"1000", 1000},
                      SizeCase{"$fF", 255},
                      // Largest and smallest 32-bit values, and one past each.
                      SizeCase{"2147483647", 2147483647}, SizeCase{"-2147483648", -2147483647 - 1},
                      SizeCase{"2147483648", 52}, SizeCase{"-2147483649", 52}, SizeCase{"99999999999999999999", 52},
                      SizeCase{"abc", 52}, SizeCase{"", 52}, SizeCase{"128 ", 52}, SizeCase{" ", 52},
                      SizeCase{"+", 52}, SizeCase{"$", 52}, SizeCase{"0x", 52}, SizeCase{"12a", 52},
                      SizeCase{"$8g", 52}, SizeCase{"\t128", 52}, SizeCase{"1 28", 52}, SizeCase{"--1", 52}));

TEST(ExportPercentTest, ThreeAndEightFiles) {
    std::vector<int> three, eight;
    for (size_t i = 0; i < 3; ++i) three.push_back(ExportPercent(i, 3));
    for (size_t i = 0; i < 8; ++i) eight.push_back(ExportPercent(i, 8));
    EXPECT_EQ(three, (std::vector<int>{33, 67, 100}));
    EXPECT_EQ(eight, (std::vector<int>{12, 25, 38, 50, 62, 75, 88, 100}));
}

TEST(ExportPercentTest, RisesToExactly100AndStaysWithinHalfAPoint) {
    for (size_t n = 1; n <= 400; ++n) {
        int previous = 0;
        for (size_t i = 0; i < n; ++i) {
            const int p = ExportPercent(i, n);
            const double exact = (static_cast<double>(i) + 1) * 100 / static_cast<double>(n);
            ASSERT_GE(p, previous) << i << " of " << n;
            ASSERT_LE(std::abs(p - exact), 0.5) << i << " of " << n;
            // Exact halves go to the even neighbour.
            if (std::abs(p - exact) == 0.5) {
                ASSERT_EQ(p % 2, 0) << i << " of " << n;
            }
            previous = p;
        }
        ASSERT_EQ(previous, 100) << n;
    }
}

TEST(FinalMessageTest, TextsOfTheRunsOutcome) {
    TExportRunResult run;
    EXPECT_EQ(FinalMessage(run), "Images has been generated!");
    run.ErrorFlag = true;
    EXPECT_EQ(FinalMessage(run), "Some errors happened because bad file format or file is opend by other application");
    run.Cancelled = true;
    EXPECT_EQ(FinalMessage(run), "");
}

}  // namespace
