// Thumbnail cache names: GLib's file URI escaping, the MD5 file names and the size folders.
#include "thumbs/thumbnail_cache.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>

#include <unistd.h>

namespace {

struct UriCase { const char* label; std::string path; std::string uri; };
void PrintTo(const UriCase& c, std::ostream* os) { *os << c.label; }

class GLibUriTest : public ::testing::TestWithParam<UriCase> {};

// The expected URIs are those GLib's own `gio info` reports for the same names.
TEST_P(GLibUriTest, EscapesLikeGLib) { EXPECT_EQ(GLibFileUri(GetParam().path), GetParam().uri); }

INSTANTIATE_TEST_SUITE_P(
    Names, GLibUriTest,
    ::testing::Values(
        UriCase{"Plain", "/home/jens/photos/me.png", "file:///home/jens/photos/me.png"},
        UriCase{"Space", "/tmp/a b.png", "file:///tmp/a%20b.png"},
        UriCase{"SemicolonAndBrackets", "/tmp/semi;colon[1].png", "file:///tmp/semi%3Bcolon%5B1%5D.png"},
        UriCase{"EveryPunctuationAndNonUtf8", "/tmp/gtest/semi;colon[1] x#%?\xc3\xa9\xe9{}^`|<>\"\\~!$&'()*+,=@.png",
                "file:///tmp/gtest/semi%3Bcolon%5B1%5D%20x%23%25%3F%C3%A9%E9%7B%7D%5E%60%7C%3C%3E%22%5C~!$&'()*+,=@.png"},
        UriCase{"ControlBytes", "/x/tab\there\x7f", "file:///x/tab%09here%7F"}),
    [](const ::testing::TestParamInfo<UriCase>& info) { return std::string(info.param.label); });

TEST(ThumbnailCache, CandidatesAreMd5NamesFromTheSmallestLargeEnoughSize) {
    setenv("XDG_CACHE_HOME", "/cache-root", 1);
    // The MD5 of this URI is the freedesktop cache's own worked example.
    const std::string name = "c6ee772d9e49320e97ec29a7eb5b1697.png";
    EXPECT_EQ(ThumbnailCacheCandidates("file:///home/jens/photos/me.png", 100),
              (std::vector<std::string>{"/cache-root/thumbnails/normal/" + name, "/cache-root/thumbnails/large/" + name,
                                        "/cache-root/thumbnails/x-large/" + name,
                                        "/cache-root/thumbnails/xx-large/" + name}));
    EXPECT_EQ(ThumbnailCacheCandidates("file:///home/jens/photos/me.png", 128).front(),
              "/cache-root/thumbnails/normal/" + name);
    EXPECT_EQ(ThumbnailCacheCandidates("file:///home/jens/photos/me.png", 129).front(),
              "/cache-root/thumbnails/large/" + name);
    EXPECT_EQ(ThumbnailCacheCandidates("file:///home/jens/photos/me.png", 256).size(), 3u);
    // The escaped name, not the raw one, is hashed.
    EXPECT_EQ(ThumbnailCacheCandidates("file:///tmp/semi%3Bcolon%5B1%5D.png", 52).front(),
              "/cache-root/thumbnails/normal/98be566bb2f89030d02e8adfb7e985e8.png");
}

TEST(ThumbnailCache, CacheFolderFallsBackToHome) {
    setenv("HOME", "/home/someone", 1);
    setenv("XDG_CACHE_HOME", "relative/not/allowed", 1);
    EXPECT_EQ(ThumbnailCacheDir(), "/home/someone/.cache/thumbnails");
    unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(ThumbnailCacheDir(), "/home/someone/.cache/thumbnails");
    setenv("XDG_CACHE_HOME", "/elsewhere", 1);
    EXPECT_EQ(ThumbnailCacheDir(), "/elsewhere/thumbnails");
}

TEST(ThumbnailCache, PathsAreMadeAbsoluteAndCanonical) {
    EXPECT_EQ(AbsoluteFilePath("/a/./b/../c//d"), "/a/c/d");
    EXPECT_EQ(AbsoluteFilePath("/../x"), "/x");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string here = cwd;
    EXPECT_EQ(AbsoluteFilePath("pic.png"), (here == "/" ? "" : here) + "/pic.png");
    EXPECT_EQ(AbsoluteFilePath("./sub/../pic.png"), (here == "/" ? "" : here) + "/pic.png");
}

}  // namespace
