// The save dispatch: extension rules, the per-format frames, the abort flag and file creation.
#include "imageio/errors.h"
#include "imageio/image_io.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string g_lastWriter;

template <char Tag>
void RecordingWriter(TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals&, TIOProgressRecord& progress) {
    g_lastWriter = std::string(1, Tag);
    const uint8_t bytes[3] = {uint8_t(Tag), uint8_t(bitmap.Width()), uint8_t(bitmap.PixelFormat())};
    stream.Write(bytes, sizeof bytes);
    progress.Report(50);
}

void FailingWriter(TIOStream&, TIOBitmap&, TIOParamsVals&, TIOProgressRecord&) {
    throw EInvalidGraphic("writer failed");
}

class SaveDispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Writers();
        Writers() = TIOWriterTable{RecordingWriter<'J'>, RecordingWriter<'P'>, RecordingWriter<'G'>, RecordingWriter<'B'>};
        g_lastWriter.clear();
        dir_ = fs::temp_directory_path() / ("pictolith-dispatch-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        TBitmap picture;
        picture.SetBitsPerPixel(24);
        picture.SetSize(7, 4);
        picture.FillRect(0, 0, 7, 4, RGBColor(1, 2, 3));
        *view_.GetIO()->GetBitmap() = picture;
        io_ = view_.GetIO();
        io_->OnFinishWork = [this](void*) { ++finished_; };
        io_->OnProgress = [this](void*, int percent) { lastPercent_ = percent; };
    }
    void TearDown() override {
        Writers() = saved_;
        fs::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    TIOWriterTable saved_{};
    fs::path dir_;
    TImageView view_;
    TImageIO* io_ = nullptr;
    int finished_ = 0;
    int lastPercent_ = -1;
};

struct DispatchCase {
    const char* name;
    char writer;
    int fileType;
};

class DispatchByExtension : public SaveDispatchTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(DispatchByExtension, LowerCasedExtensionPicksTheWriter) {
    const DispatchCase& c = GetParam();
    const std::string path = Path(c.name);
    io_->SaveToFile(path);
    EXPECT_EQ(g_lastWriter, std::string(1, c.writer));
    EXPECT_EQ(io_->AbortRequested, 0);
    EXPECT_EQ(io_->Params.FileName, path);
    EXPECT_EQ(io_->Params.FileType, c.fileType);
    EXPECT_EQ(Contents(path), std::string({c.writer, char(7), char(io24RGB)}));
    EXPECT_EQ(finished_, 1);
    EXPECT_EQ(lastPercent_, 100);
}

INSTANTIATE_TEST_SUITE_P(Names, DispatchByExtension,
                         ::testing::Values(DispatchCase{"a.jpg", 'J', 3}, DispatchCase{"a.JPG", 'J', 3},
                                           DispatchCase{"a.Jpeg", 'J', 3}, DispatchCase{"a.jpe", 'J', 3},
                                           DispatchCase{"a.jif", 'J', 3}, DispatchCase{"a.png", 'P', 8},
                                           DispatchCase{"a.GIF", 'G', 2}, DispatchCase{"a.bmp", 'B', 5},
                                           DispatchCase{"a.dib", 'B', 5}, DispatchCase{"a.rle", 'B', 5},
                                           DispatchCase{"x.tar.png", 'P', 8}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name + "_" + std::to_string(info.index);
                         });

TEST(ExtractLowerExtension, FollowsTheLastDotAfterTheLastSlash) {
    EXPECT_EQ(ExtractLowerExtension("/tmp/photo.JPEG"), ".jpeg");
    EXPECT_EQ(ExtractLowerExtension("/tmp/a.b/file"), "");
    EXPECT_EQ(ExtractLowerExtension("/tmp/file"), "");
    EXPECT_EQ(ExtractLowerExtension("/tmp/.png"), ".png");
    EXPECT_EQ(ExtractLowerExtension("/tmp/name."), ".");
    EXPECT_EQ(ExtractLowerExtension("/tmp/\xC3\x84.PNG"), ".png");
}

TEST_F(SaveDispatchTest, UnknownOrMissingExtensionWritesNothingAndFlagsAbort) {
    fs::create_directories(dir_ / "a.b");
    for (const char* name : {"picture.xyz", "picture", "a.b/file", "picture.tif", "picture.pcx"}) {
        io_->AbortRequested = 0;
        io_->SaveToFile(Path(name));
        EXPECT_EQ(io_->AbortRequested, 1) << name;
        EXPECT_FALSE(fs::exists(Path(name))) << name;
    }
    EXPECT_EQ(g_lastWriter, "");
    EXPECT_EQ(finished_, 0);
}

TEST_F(SaveDispatchTest, EmptyNameDoesNothing) {
    io_->AbortRequested = 5;
    io_->SaveToFile("");
    EXPECT_EQ(io_->AbortRequested, 5);
    EXPECT_EQ(finished_, 0);
    EXPECT_EQ(g_lastWriter, "");
}

TEST_F(SaveDispatchTest, ExistingTargetIsTruncated) {
    const std::string path = Path("old.bmp");
    std::ofstream(path) << std::string(1000, 'x');
    io_->SaveToFile(path);
    EXPECT_EQ(Contents(path).size(), 3u);
}

TEST_F(SaveDispatchTest, UncreatableTargetRaisesTheMessage) {
    for (const char* name : {"missing/a.jpg", "missing/a.gif", "missing/a.bmp", "missing/a.png"}) {
        finished_ = 0;
        const std::string path = Path(name);
        try {
            io_->SaveToFile(path);
            FAIL() << "no exception for " << name;
        } catch (const EIOFileCreateError& error) {
            EXPECT_EQ(std::string(error.what()), "Cannot create file \"" + path + "\". No such file or directory");
        }
        EXPECT_EQ(io_->AbortRequested, 1) << name;
        EXPECT_TRUE(io_->Params.FileName.empty());
        // The BMP save fails before its clean-up starts; the others report the end of work.
        EXPECT_EQ(finished_, std::string(name).ends_with(".bmp") ? 0 : 1) << name;
    }
}

TEST_F(SaveDispatchTest, WriterFailureLeavesTheFileAndPassesTheError) {
    Writers().Png = FailingWriter;
    const std::string path = Path("broken.png");
    EXPECT_THROW(io_->SaveToFile(path), EInvalidGraphic);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(io_->AbortRequested, 0);
    EXPECT_TRUE(io_->Params.FileName.empty());
    EXPECT_EQ(io_->Params.FileType, 0);
    EXPECT_EQ(finished_, 1);
}

TEST_F(SaveDispatchTest, FormatWithoutWriterBehavesAsUnknown) {
    Writers().Gif = nullptr;
    io_->SaveToFile(Path("none.gif"));
    EXPECT_EQ(io_->AbortRequested, 1);
    EXPECT_FALSE(fs::exists(Path("none.gif")));
    EXPECT_EQ(finished_, 0);
}

TEST_F(SaveDispatchTest, JpegSaveConvertsThirtyTwoBitsButPngLeavesTheBuffer) {
    TBitmap picture;
    picture.SetBitsPerPixel(32);
    picture.SetSize(2, 2);
    *io_->GetBitmap() = picture;
    io_->SaveToFile(Path("a.png"));
    EXPECT_EQ(Contents(Path("a.png"))[2], char(io32RGB));
    io_->SaveToFile(Path("a.jpg"));
    EXPECT_EQ(Contents(Path("a.jpg"))[2], char(io24RGB));
}

TEST_F(SaveDispatchTest, RegistryEntryWithWriterRunsTheGenericSave) {
    RegisterFileFormat({77, "Test format", "TST;TEST2", RecordingWriter<'T'>});
    const std::string path = Path("a.Test2");
    io_->SaveToFile(path);
    EXPECT_EQ(g_lastWriter, "T");
    EXPECT_EQ(io_->Params.FileType, 77);
    EXPECT_EQ(io_->AbortRequested, 0);
    FileFormats().pop_back();
}

TEST(FileStream, FailedWriteIsStickyAndReportedByClose) {
    const std::string path = "/dev/full";
    if (access(path.c_str(), W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    TIOWideFileStream stream(path, TIOWideFileStream::kCreate);
    std::string big(200000, 'x');
    EXPECT_EQ(stream.Write(big.data(), big.size()), 0u);
    EXPECT_EQ(stream.Write("a", 1), 0u);
    EXPECT_FALSE(stream.Close());
}

TEST(FileStream, SeekRewritesEarlierBytes) {
    const fs::path path = fs::temp_directory_path() / ("pictolith-stream-" + std::to_string(getpid()));
    {
        TIOWideFileStream stream(path.string(), TIOWideFileStream::kCreate);
        stream.Write("hello world", 11);
        ASSERT_TRUE(stream.Seek(0));
        stream.Write("J", 1);
        ASSERT_TRUE(stream.Seek(11));
        stream.Write("!", 1);
        EXPECT_EQ(stream.Position(), 12);
        EXPECT_TRUE(stream.Close());
    }
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "Jello world!");
    fs::remove(path);
}

TEST(MemoryStream, AcceptsOnlyUpToItsLimit) {
    TIOMemoryStream stream(5);
    EXPECT_EQ(stream.Write("abc", 3), 3u);
    EXPECT_EQ(stream.Write("defg", 4), 2u);
    EXPECT_EQ(stream.Write("h", 1), 0u);
    EXPECT_EQ(stream.Data().size(), 5u);
}

TEST(Params, DefaultsOfANewRecord) {
    TIOParamsVals params;
    EXPECT_EQ(params.HorizontalDpi, 300);
    EXPECT_EQ(params.VerticalDpi, 300);
    EXPECT_EQ(params.BitsPerSample, 8);
    EXPECT_EQ(params.SamplesPerPixel, 3);
    EXPECT_EQ(params.JpegQuality, 80);
    EXPECT_EQ(params.PngCompressionLevel, 5);
    EXPECT_EQ(params.GifVersion, "GIF89a");
    EXPECT_EQ(params.BmpHeaderKind, 1);
    EXPECT_EQ(params.BmpCompression, 0);
    EXPECT_EQ(params.JpegColorSpace, 2);
    EXPECT_EQ(params.JpegChromaSampling, 1);
    EXPECT_EQ(params.GifDisposalMethod, 2);
    EXPECT_TRUE(params.IptcInfo.Changed);
    EXPECT_EQ(params.GifLzwEncoder, DefaultGifLzwEncoder);

    params.JpegQuality = 10;
    params.PngTextKeys.push_back("k");
    params.FileType = 3;
    params.SetDefaultParams();
    EXPECT_EQ(params.JpegQuality, 80);
    EXPECT_TRUE(params.PngTextKeys.empty());
    EXPECT_EQ(params.FileType, 0);
}

TEST(Params, ResetTakesTheSizeOfTheOwnersBitmap) {
    TImageView view;
    TBitmap picture;
    picture.SetSize(9, 4);
    *view.GetIO()->GetBitmap() = picture;
    view.GetIO()->Params.SetDefaultParams();
    EXPECT_EQ(view.GetIO()->Params.ParamWidth, 9);
    EXPECT_EQ(view.GetIO()->Params.ParamHeight, 4);
}

}  // namespace
