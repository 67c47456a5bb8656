// The file's own thumbnail on top of the icon picture: the thumbnail cache (valid, stale, sizes,
// names GLib escapes) in a temporary XDG_CACHE_HOME, and pictures decoded in the worker.
#include "thumbs/file_thumb.h"

#include "imageio/image_io.h"
#include "test_support.h"
#include "thumbs/shell_icons.h"
#include "thumbs/shell_thumbnail.h"
#include "thumbs/thumbnail_cache.h"

#include <QImage>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const TIOColorBGR kWhite = RGBColor(255, 255, 255);

class ShellThumbnailTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        root_ = dir_.path().toStdString();
        setenv("XDG_CACHE_HOME", (root_ + "/cache").c_str(), 1);
        // No theme at all: icons are the built-in ones, whatever the machine has.
        SetIconThemeConfig(TIconThemeConfig{{root_ + "/no-icons"}, ""});
    }

    std::string Path(const std::string& name) const { return root_ + "/" + name; }

    // A cache entry for `source` in `folder` ("normal", "large"...): a solid picture of `colour`
    // carrying the keys the cache's validity rules read.
    void WriteCacheEntry(const std::string& source, const std::string& folder, int side, QColor colour,
                         long long mtimeShift = 0, const char* sizeOverride = nullptr) {
        struct stat st {};
        ASSERT_EQ(stat(source.c_str(), &st), 0);
        const std::string uri = GLibFileUri(AbsoluteFilePath(source));
        const std::vector<std::string> candidates = ThumbnailCacheCandidates(uri, 52);
        std::string target;
        for (const std::string& c : candidates) {
            if (c.find("/" + folder + "/") != std::string::npos) target = c;
        }
        ASSERT_FALSE(target.empty());
        MakeDirs(target.substr(0, target.rfind('/')));
        QImage image(side, side, QImage::Format_RGB32);
        image.fill(colour);
        image.setText("Thumb::URI", QString::fromStdString(uri));
        image.setText("Thumb::MTime", QString::number(static_cast<long long>(st.st_mtim.tv_sec) + mtimeShift));
        image.setText("Thumb::Size", sizeOverride != nullptr ? QString(sizeOverride) : QString::number(st.st_size));
        ASSERT_TRUE(image.save(QString::fromStdString(target), "PNG"));
    }

    QTemporaryDir dir_;
    std::string root_;
};

bool IsSolid(const TBitmap& bitmap, TIOColorBGR colour) {
    for (int y = 0; y < bitmap.Height(); ++y) {
        for (int x = 0; x < bitmap.Width(); ++x) {
            if (bitmap.PixelColor(x, y) != colour) return false;
        }
    }
    return true;
}

TEST_F(ShellThumbnailTest, ValidCacheEntryReplacesTheIconPicture) {
    // ";", "[" and "]" are escaped by GLib but not by QUrl: the entry is only found by the right name.
    for (const std::string name : {"report;[1].txt", "plain.txt", "space and %.txt"}) {
        WriteFile(Path(name), "words that no decoder takes\n");
        WriteCacheEntry(Path(name), "normal", 128, QColor(0, 128, 255));
        TFileThumb thumb;
        thumb.SetSize(100);
        thumb.SetFileName(Path(name));
        EXPECT_EQ(thumb.Bitmap().Width(), 100) << name;
        EXPECT_EQ(thumb.Bitmap().Height(), 100) << name;
        EXPECT_TRUE(IsSolid(thumb.Bitmap(), RGBColor(0, 128, 255))) << name;
    }
}

TEST_F(ShellThumbnailTest, StaleOrForeignEntriesAreIgnored) {
    struct Case { const char* label; long long mtimeShift; const char* size; };
    for (const Case c : {Case{"older mtime", -10, nullptr}, Case{"other size", 0, "999999"}}) {
        const std::string file = Path(std::string(c.label) + ".txt");
        WriteFile(file, "words\n");
        WriteCacheEntry(file, "normal", 128, QColor(0, 128, 255), c.mtimeShift, c.size);
        TFileThumb thumb;
        thumb.SetSize(100);
        thumb.SetFileName(file);
        // The icon picture: white corners around the built-in text icon.
        EXPECT_EQ(thumb.Bitmap().Width(), 100) << c.label;
        EXPECT_EQ(thumb.Bitmap().PixelColor(0, 0), kWhite) << c.label;
        EXPECT_FALSE(IsSolid(thumb.Bitmap(), RGBColor(0, 128, 255))) << c.label;
    }
}

TEST_F(ShellThumbnailTest, SmallestValidSizeAtLeastAsLargeAsAskedWins) {
    WriteFile(Path("a.txt"), "words\n");
    WriteCacheEntry(Path("a.txt"), "normal", 128, QColor(255, 0, 0));
    WriteCacheEntry(Path("a.txt"), "large", 256, QColor(0, 255, 0));
    const auto small = LookupCachedThumbnail(Path("a.txt"), 128, kWhite);
    ASSERT_TRUE(small.has_value());
    EXPECT_TRUE(IsSolid(*small, RGBColor(255, 0, 0)));
    // Above 128 only the large folder is big enough.
    const auto big = LookupCachedThumbnail(Path("a.txt"), 200, kWhite);
    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(big->Width(), 200);
    EXPECT_TRUE(IsSolid(*big, RGBColor(0, 255, 0)));
    // A stale normal entry gives way to the valid large one.
    WriteCacheEntry(Path("a.txt"), "normal", 128, QColor(255, 0, 0), -1);
    const auto fallback = LookupCachedThumbnail(Path("a.txt"), 100, kWhite);
    ASSERT_TRUE(fallback.has_value());
    EXPECT_TRUE(IsSolid(*fallback, RGBColor(0, 255, 0)));
}

TEST_F(ShellThumbnailTest, DecodedPictureIsTheBitmapWhateverItsSize) {
    // A small image comes back at its own size with its own pixels.
    QImage image(30, 20, QImage::Format_RGB32);
    image.fill(QColor(10, 200, 30));
    image.setPixelColor(0, 0, QColor(1, 2, 3));
    ASSERT_TRUE(image.save(QString::fromStdString(Path("small.png")), "PNG"));
    TFileThumb thumb;
    thumb.SetSize(100);
    thumb.SetFileName(Path("small.png"));
    ASSERT_EQ(thumb.Bitmap().Width(), 30);
    ASSERT_EQ(thumb.Bitmap().Height(), 20);
    ASSERT_EQ(thumb.Bitmap().BitsPerPixel(), 24);
    EXPECT_EQ(thumb.Bitmap().PixelColor(0, 0), RGBColor(1, 2, 3));
    EXPECT_EQ(thumb.Bitmap().PixelColor(29, 19), RGBColor(10, 200, 30));

    // The next name draws a full-size square again.
    WriteFile(Path("notes.txt"), "words\n");
    thumb.SetFileName(Path("notes.txt"));
    EXPECT_EQ(thumb.Bitmap().Width(), 100);
    EXPECT_EQ(thumb.Bitmap().PixelColor(0, 0), kWhite);
    thumb.SetFileName(Path("missing"));
    EXPECT_EQ(thumb.Bitmap().PixelColor(0, 0), RGBColor(0, 0, 0));
    EXPECT_EQ(thumb.Bitmap().PixelColor(1, 1), kWhite);

    // The component's buffer takes the picture as it is.
    TImageView view;
    ThumbnailToImage(Path("small.png"), 80, view);
    EXPECT_EQ(view.IEBitmap().Width(), 30);
    EXPECT_EQ(view.IEBitmap().Height(), 20);
    EXPECT_EQ(view.IEBitmap().PixelFormat(), io24RGB);
}

TEST_F(ShellThumbnailTest, NonImagesAndHostileFilesKeepTheIconPicture) {
    WriteFile(Path("fake.png"), "this is text wearing an image's name");
    WriteFile(Path("empty.jpg"), "");
    WriteFile(Path("truncated.png"), std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\x10\0", 20));
    ASSERT_EQ(mkfifo(Path("pipe.png").c_str(), 0644), 0);
    for (const char* name : {"fake.png", "empty.jpg", "truncated.png", "pipe.png"}) {
        TFileThumb thumb;
        thumb.SetSize(64);
        thumb.SetFileName(Path(name));
        EXPECT_EQ(thumb.Bitmap().Width(), 64) << name;
        EXPECT_EQ(thumb.Bitmap().PixelColor(0, 0), kWhite) << name;
        EXPECT_FALSE(IsSolid(thumb.Bitmap(), kWhite)) << name;
    }
}

}  // namespace
