// The thumbnail maker: icon list choice, size clamp, redraw rules, the framed square and the
// icon picture, drawn with a test icon theme so no result depends on the machine's themes.
#include "thumbs/file_thumb.h"

#include "imageio/image_io.h"
#include "test_support.h"
#include "thumbs/builtin_icons.h"
#include "thumbs/file_types.h"
#include "thumbs/shell_icons.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const TIOColorBGR kWhite = RGBColor(255, 255, 255);
const TIOColorBGR kBlack = RGBColor(0, 0, 0);
const QColor kIconRed(200, 30, 40);
const TIOColorBGR kIconRedBGR = RGBColor(200, 30, 40);
constexpr int kIconHole = 4;

class FileThumbTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        root_ = dir_.path().toStdString();
        // A theme with only a text/plain icon: red, its top-left corner transparent.
        const std::string theme = root_ + "/icons/TestTheme";
        std::string index = "[Icon Theme]\nName=TestTheme\nDirectories=16x16/mimetypes,32x32/mimetypes,48x48/mimetypes\n";
        for (int size : {16, 32, 48}) {
            const std::string sub = std::to_string(size) + "x" + std::to_string(size) + "/mimetypes";
            index += "\n[" + sub + "]\nSize=" + std::to_string(size) + "\nType=Fixed\n";
            MakeDirs(theme + "/" + sub);
            WriteSolidPng(theme + "/" + sub + "/text-plain.png", size, size, kIconRed, kIconHole);
        }
        WriteFile(theme + "/index.theme", index);
        SetIconThemeConfig(TIconThemeConfig{{root_ + "/icons"}, "TestTheme"});
        // No cached thumbnails from the machine's own cache.
        setenv("XDG_CACHE_HOME", (root_ + "/cache").c_str(), 1);
    }

    std::string Path(const std::string& name) const { return root_ + "/" + name; }

    QTemporaryDir dir_;
    std::string root_;
};

// The picture is the window-coloured square with a one-pixel black frame.
void ExpectFramedSquare(const TBitmap& bitmap, int size) {
    ASSERT_EQ(bitmap.Width(), size);
    ASSERT_EQ(bitmap.Height(), size);
    ASSERT_EQ(bitmap.BitsPerPixel(), 24);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const bool edge = x == 0 || y == 0 || x == size - 1 || y == size - 1;
            ASSERT_EQ(bitmap.PixelColor(x, y), edge ? kBlack : kWhite) << "at " << x << "," << y << " side " << size;
        }
    }
}

// The picture is white with `icon` blended at the centring offset, and nothing else.
void ExpectIconPicture(const TBitmap& bitmap, int size, const TRgbaImage& icon) {
    ASSERT_EQ(bitmap.Width(), size);
    ASSERT_EQ(bitmap.Height(), size);
    TBitmap expected;
    expected.SetSize(size, size);
    expected.FillRect(0, 0, size, size, kWhite);
    const int offset = CentredIconOffset(size, 48);
    expected.DrawRGBA(offset, offset, icon.Width, icon.Height, icon.Pixels.data(), icon.Stride());
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            ASSERT_EQ(bitmap.PixelColor(x, y), expected.PixelColor(x, y)) << "at " << x << "," << y;
        }
    }
}

TEST(FileThumbArithmetic, CentredIconOffsetRoundsBothHalvingsDown) {
    struct Case { int size, iconSize, expected; };
    for (const Case c : {Case{80, 48, 16}, Case{81, 48, 16}, Case{100, 48, 26}, Case{128, 48, 40}, Case{52, 48, 2},
                         Case{256, 48, 104}, Case{52, 32, 10}, Case{20, 48, -14}, Case{21, 49, -14}}) {
        EXPECT_EQ(CentredIconOffset(c.size, c.iconSize), c.expected) << c.size << " " << c.iconSize;
    }
}

TEST(FileThumbArithmetic, CandidateListIsTheFortyEightPixelList) {
    TShFileInfo info;
    const TImageListHandle large =
        ShellGetFileInfo("file.txt", kFileAttributeNormal, &info, kShgfiSysIconIndex | kShgfiUseFileAttributes);
    const TImageListHandle small = ShellGetFileInfo("file.txt", kFileAttributeNormal, &info,
                                                    kShgfiSysIconIndex | kShgfiUseFileAttributes | kShgfiSmallIcon);
    int width = 0, height = 0;
    ASSERT_TRUE(ImageListGetIconSize(large, &width, &height));
    EXPECT_EQ(width, 32);
    ASSERT_TRUE(ImageListGetIconSize(small, &width, &height));
    EXPECT_EQ(width, 16);
    ASSERT_TRUE(ImageListGetIconSize(2 * small - large, &width, &height));
    EXPECT_EQ(width, 48);
    EXPECT_GE(info.IconIndex, 0);
    EXPECT_FALSE(ImageListGetIconSize(large + 1, &width, &height));

    const TFileThumb thumb;
    EXPECT_EQ(thumb.ImageList(), kImageList48);
    EXPECT_EQ(thumb.IconSize(), 48);
    EXPECT_EQ(thumb.Size(), 100);
    EXPECT_EQ(thumb.FileName(), "");
    EXPECT_EQ(thumb.Bitmap().Width(), 100);
    EXPECT_EQ(thumb.Bitmap().Height(), 100);
    EXPECT_EQ(thumb.Bitmap().BitsPerPixel(), 24);
}

TEST(FileThumbArithmetic, SizeIsClampedTo52Through256) {
    struct Case { int requested, side; };
    for (const Case c : {Case{51, 52}, Case{52, 52}, Case{256, 256}, Case{257, 256}, Case{0, 52}, Case{-5, 52},
                         Case{80, 80}, Case{1 << 30, 256}, Case{-2147483647 - 1, 52}}) {
        TFileThumb thumb;
        thumb.SetSize(c.requested);
        EXPECT_EQ(thumb.Size(), c.side) << c.requested;
        EXPECT_EQ(thumb.Bitmap().Width(), c.side) << c.requested;
        EXPECT_EQ(thumb.Bitmap().Height(), c.side) << c.requested;
        // The redraw ran with no file name: the framed square.
        ExpectFramedSquare(thumb.Bitmap(), c.side);
    }
}

TEST_F(FileThumbTest, SizeAlreadyHeldDrawsNothingAndTheNameDrawsAtThatSize) {
    TFileThumb thumb;
    thumb.SetSize(100);
    // Nothing has been drawn yet: a new bitmap's pixels are all zero, no frame, no white.
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 100; ++x) ASSERT_EQ(thumb.Bitmap().PixelColor(x, y), kBlack);
    }
    WriteFile(Path("notes.txt"), "plain words\n");
    thumb.SetFileName(Path("notes.txt"));
    EXPECT_EQ(thumb.Bitmap().Width(), 100);
    EXPECT_EQ(thumb.Bitmap().PixelColor(0, 0), kWhite);
    EXPECT_EQ(thumb.Bitmap().PixelColor(50, 50), kIconRedBGR);
}

TEST_F(FileThumbTest, EmptyMissingAndFolderGiveTheFramedSquare) {
    mkdir(Path("folder").c_str(), 0755);
    for (int size : {52, 80, 256}) {
        for (const std::string& name : {std::string(), Path("missing.txt"), Path("folder"), Path("folder/")}) {
            TFileThumb thumb;
            thumb.SetSize(size);
            thumb.SetFileName("placeholder that names nothing");
            thumb.SetFileName(name);
            ExpectFramedSquare(thumb.Bitmap(), size);
        }
    }
}

TEST_F(FileThumbTest, FileWithoutThumbnailGetsItsIconCentredWithoutFrame) {
    WriteFile(Path("notes.txt"), "plain words\n");
    for (int size : {52, 80, 81, 100, 128, 256}) {
        TFileThumb thumb;
        thumb.SetSize(size);
        thumb.SetFileName(Path("notes.txt"));
        const TBitmap& bitmap = thumb.Bitmap();
        ASSERT_EQ(bitmap.Width(), size);
        ASSERT_EQ(bitmap.BitsPerPixel(), 24);
        const int offset = size / 2 - 24;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const bool inIcon = x >= offset && x < offset + 48 && y >= offset && y < offset + 48;
                const bool inHole = x < offset + kIconHole && y < offset + kIconHole;
                const TIOColorBGR expected = inIcon && !inHole ? kIconRedBGR : kWhite;
                ASSERT_EQ(bitmap.PixelColor(x, y), expected) << "at " << x << "," << y << " side " << size;
            }
        }
    }
}

TEST_F(FileThumbTest, TypeWithoutThemeIconGetsTheBuiltInIcon) {
    // The test theme is the only one the layer can see, and it has no spreadsheet icon.
    WriteFile(Path("budget.ods"), "");
    const std::string type = MimeTypeOfFile(Path("budget.ods"));
    ASSERT_EQ(BuiltInKindForMimeType(type), TBuiltInIconKind::Spreadsheet) << type;
    TFileThumb thumb;
    thumb.SetSize(80);
    thumb.SetFileName(Path("budget.ods"));
    ExpectIconPicture(thumb.Bitmap(), 80, BuiltInIcon(TBuiltInIconKind::Spreadsheet, 48));
}

TEST_F(FileThumbTest, SameNameTwiceRedrawsOnce) {
    WriteFile(Path("notes.txt"), "plain words\n");
    TFileThumb thumb;
    thumb.SetSize(80);
    thumb.SetFileName(Path("notes.txt"));
    ASSERT_EQ(thumb.Bitmap().PixelColor(40, 40), kIconRedBGR);
    // Were the picture redrawn now, the file's absence would give the framed square.
    ASSERT_EQ(std::remove(Path("notes.txt").c_str()), 0);
    thumb.SetFileName(Path("notes.txt"));
    EXPECT_EQ(thumb.Bitmap().PixelColor(40, 40), kIconRedBGR);
    EXPECT_EQ(thumb.Bitmap().PixelColor(0, 0), kWhite);
    // The size already held does not redraw either; another size does.
    thumb.SetSize(80);
    EXPECT_EQ(thumb.Bitmap().PixelColor(40, 40), kIconRedBGR);
    thumb.SetSize(81);
    ExpectFramedSquare(thumb.Bitmap(), 81);
}

TEST_F(FileThumbTest, SpecialFilesGetIconPicturesWithoutBlocking) {
    // A FIFO with no writer would block a reader for ever; a device must not be opened at all.
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0644), 0);
    for (const std::string& name : {Path("pipe"), std::string("/dev/null"), std::string("/dev/zero")}) {
        TFileThumb thumb;
        thumb.SetSize(80);
        thumb.SetFileName(name);
        const std::string type = MimeTypeOfFile(name);
        EXPECT_EQ(type.rfind("inode/", 0), 0u) << name << " " << type;
        ExpectIconPicture(thumb.Bitmap(), 80, BuiltInIcon(BuiltInKindForMimeType(type), 48));
    }
}

TEST_F(FileThumbTest, AwkwardNamesAndUnreadableFilesStillGetTheirIcon) {
    const std::vector<std::string> names = {"caf\xe9 latin1.txt", "semi;colon [1].txt", "zero-bytes.txt",
                                            "locked.txt"};
    for (const std::string& name : names) WriteFile(Path(name), name == "zero-bytes.txt" ? "" : "some text\n");
    chmod(Path("locked.txt").c_str(), 0);
    for (const std::string& name : names) {
        TFileThumb thumb;
        thumb.SetSize(100);
        thumb.SetFileName(Path(name));
        EXPECT_EQ(thumb.Bitmap().PixelColor(0, 0), kWhite) << name;
        EXPECT_EQ(thumb.Bitmap().PixelColor(50, 50), kIconRedBGR) << name;
    }
    chmod(Path("locked.txt").c_str(), 0644);
}

TEST_F(FileThumbTest, ThumbnailToImageFillsTheComponentsBuffer) {
    WriteFile(Path("notes.txt"), "plain words\n");
    TFileThumb reference;
    reference.SetSize(128);
    reference.SetFileName(Path("notes.txt"));

    TImageView view;
    ThumbnailToImage(Path("notes.txt"), 128, view);
    TIOBitmap& buffer = view.IEBitmap();
    ASSERT_EQ(buffer.Width(), 128);
    ASSERT_EQ(buffer.Height(), 128);
    ASSERT_EQ(buffer.PixelFormat(), io24RGB);
    for (int y = 0; y < 128; ++y) {
        const uint8_t* row = buffer.ScanLine(y);
        for (int x = 0; x < 128; ++x) {
            const TIOColorBGR expected = reference.Bitmap().PixelColor(x, y);
            ASSERT_EQ((TIOColorBGR{row[3 * x], row[3 * x + 1], row[3 * x + 2]}), expected) << x << "," << y;
        }
    }
}

TEST_F(FileThumbTest, ManyThreadsDrawTheSamePicturesAsOne) {
    WriteFile(Path("notes.txt"), "plain words\n");
    WriteFile(Path("budget.ods"), "");
    WriteFile(Path("song.mp3"), "");
    const std::vector<std::string> files = {Path("notes.txt"), Path("budget.ods"), Path("song.mp3"), Path("missing")};
    // Fresh icon caches, so the threads race on first use of every icon too.
    SetIconThemeConfig(TIconThemeConfig{{root_ + "/icons"}, "TestTheme"});
    std::vector<std::vector<TBitmap>> results(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round) {
                for (const std::string& file : files) {
                    TFileThumb thumb;
                    thumb.SetSize(64 + static_cast<int>(t));
                    thumb.SetFileName(file);
                    results[t].push_back(thumb.Bitmap());
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (size_t t = 0; t < results.size(); ++t) {
        for (size_t i = 0; i < results[t].size(); ++i) {
            TFileThumb single;
            single.SetSize(64 + static_cast<int>(t));
            single.SetFileName(files[i % files.size()]);
            const TBitmap& got = results[t][i];
            ASSERT_EQ(got.Width(), single.Bitmap().Width());
            for (int y = 0; y < got.Height(); ++y) {
                for (int x = 0; x < got.Width(); ++x) {
                    ASSERT_EQ(got.PixelColor(x, y), single.Bitmap().PixelColor(x, y)) << files[i % files.size()];
                }
            }
        }
    }
}

}  // namespace
