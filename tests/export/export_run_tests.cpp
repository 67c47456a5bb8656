// The export run end to end: real input files, real output files read back with Qt's readers,
// cancel, failures that must leave nothing behind, listed sources, planted links, and the
// parallel run against the sequential one.
#include "export/export_run.h"

#include "imageio/image_io.h"
#include "thumbs/file_thumb.h"

#include "test_files.h"

#include <QColor>
#include <QImage>
#include <QString>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <map>

namespace {

QString Q(const std::string& path) { return QString::fromLocal8Bit(path.data(), static_cast<qsizetype>(path.size())); }

// An input picture made with Qt's own writer.
void MakeImage(const std::string& path, int width, int height, QColor colour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    for (int x = 0; x < width; ++x) image.setPixelColor(x, 0, QColor(x * 255 / width, 0, 255 - x * 255 / width));
    ASSERT_TRUE(image.save(Q(path), "PNG")) << path;
}

// The picture the thumbnail maker gives for `path`, as a Qt image for comparison.
QImage ThumbnailPicture(const std::string& path, int size) {
    TImageView view;
    ThumbnailToImage(path, size, view);
    const TBitmap& bitmap = *view.GetIO()->GetBitmap();
    QImage image(bitmap.Width(), bitmap.Height(), QImage::Format_RGB32);
    for (int y = 0; y < bitmap.Height(); ++y) {
        for (int x = 0; x < bitmap.Width(); ++x) {
            const TIOColorBGR c = bitmap.PixelColor(x, y);
            image.setPixel(x, y, qRgb(c.R, c.G, c.B));
        }
    }
    return image;
}

// Mean absolute difference per channel; -1 when the sizes differ.
double MeanDifference(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.isNull()) return -1;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    }
    return sum / (3.0 * a.width() * a.height());
}

bool NoTemporaryFiles(const std::string& folder) {
    for (const std::string& name : FolderNames(folder)) {
        if (name.rfind(".pictolith-", 0) == 0) return false;
    }
    return true;
}

// True when the build has a writer for `type`; tests of a type without one are skipped.
bool HasWriter(const std::string& type) {
    const TIOWriterTable& writers = Writers();
    if (type == ".png") return writers.Png != nullptr;
    if (type == ".jpg" || type == ".jpeg") return writers.Jpeg != nullptr;
    if (type == ".gif") return writers.Gif != nullptr;
    if (type == ".bmp") return writers.Bmp != nullptr;
    return false;
}

#define REQUIRE_WRITERS(...)                                                        \
    for (const char* required : {__VA_ARGS__}) {                                    \
        if (!HasWriter(required)) GTEST_SKIP() << "no writer for " << required;     \
    }

TExportCallbacks FixedSettings(const TExportSettings& settings) {
    TExportCallbacks callbacks;
    callbacks.ReadSettings = [settings] { return settings; };
    return callbacks;
}

class ExportRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(root.Path().empty());
        // No thumbnail cache or thumbnailer of the machine takes part.
        setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
        setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        ASSERT_EQ(mkdir(in.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    }

    TTempDir root;
    std::string in = root / "in";
    std::string out = root / "out";
};

TEST_F(ExportRunTest, EveryTypeWritesTheThumbnailPicture) {
    MakeImage(in + "/photo.png", 40, 30, QColor(200, 40, 90));
    WriteBytes(in + "/notes.txt", "plain text\n");
    const std::vector<std::string> list{in + "/photo.png", in + "/notes.txt"};
    const QImage expectedPhoto = ThumbnailPicture(list[0], 128);
    const QImage expectedNotes = ThumbnailPicture(list[1], 128);
    ASSERT_FALSE(expectedPhoto.isNull());

    // Exact pixels for the lossless types; JPEG and GIF (a reduced palette) within a bound.
    const std::map<std::string, double> bounds{{".png", 0}, {".bmp", 0}, {".jpg", 6}, {".jpeg", 6}, {".gif", 12}};
    size_t typesTried = 0;
    for (const auto& [type, bound] : bounds) {
        if (!HasWriter(type)) continue;
        ++typesTried;
        SCOPED_TRACE(type);
        std::vector<int> percents;
        TExportCallbacks callbacks = FixedSettings({"128", type, out});
        callbacks.FileFinished = [&](size_t, int percent) { percents.push_back(percent); };
        callbacks.FileFailed = [](size_t, const std::string& path, const TFileExportResult& r) {
            ADD_FAILURE() << path << ": " << r.Reason;
        };
        const TExportRunResult run = RunExportList(list, callbacks);
        EXPECT_EQ(run.Written, 2u);
        EXPECT_EQ(FinalMessage(run), kMessageDone);
        EXPECT_EQ(percents, (std::vector<int>{50, 100}));

        const QImage photo(Q(out + "/photo" + type));
        const QImage notes(Q(out + "/notes" + type));
        const double photoDifference = MeanDifference(photo, expectedPhoto);
        const double notesDifference = MeanDifference(notes, expectedNotes);
        EXPECT_GE(photoDifference, 0);
        EXPECT_LE(photoDifference, bound);
        EXPECT_GE(notesDifference, 0);
        EXPECT_LE(notesDifference, bound);
    }
    if (typesTried == 0) GTEST_SKIP() << "no writers yet";
    EXPECT_TRUE(NoTemporaryFiles(out));
}

TEST_F(ExportRunTest, SettingsAreReadAnewForEveryFile) {
    REQUIRE_WRITERS(".png", ".bmp")
    const std::vector<std::string> list{in + "/a.txt", in + "/b.txt", in + "/c.txt"};
    for (const std::string& path : list) WriteBytes(path, "text");
    const std::vector<TExportSettings> perFile{{"abc", ".png", out}, {"1000", ".bmp", out}, {"100", ".png", out + "/"}};
    size_t reads = 0;
    TExportCallbacks callbacks;
    callbacks.ReadSettings = [&] { return perFile.at(reads++); };
    EXPECT_EQ(RunExportList(list, callbacks).Written, 3u);
    EXPECT_EQ(reads, 3u);
    // A file's own icon picture is square at the clamped size.
    EXPECT_EQ(QImage(Q(out + "/a.png")).size(), QSize(52, 52));
    EXPECT_EQ(QImage(Q(out + "/b.bmp")).size(), QSize(256, 256));
    EXPECT_EQ(QImage(Q(out + "/c.png")).size(), QSize(100, 100));
}

TEST_F(ExportRunTest, CancelSeenAtTheTopOfAFileStopsBeforeIt) {
    REQUIRE_WRITERS(".bmp")
    std::vector<std::string> list;
    for (const char* name : {"f0", "f1", "f2", "f3"}) {
        list.push_back(in + "/" + name + ".txt");
        WriteBytes(list.back(), name);
    }
    for (size_t k = 0; k < list.size(); ++k) {
        SCOPED_TRACE(k);
        TTempDir dest;
        size_t started = 0;
        TExportCallbacks callbacks = FixedSettings({"64", ".bmp", dest.Path()});
        callbacks.Cancelled = [&] { return started == k; };
        callbacks.FileStarted = [&](size_t, const std::string&) { ++started; };
        const TExportRunResult run = RunExportList(list, callbacks);
        EXPECT_TRUE(run.Cancelled);
        EXPECT_EQ(started, k);
        EXPECT_EQ(run.Written, k);
        EXPECT_EQ(FinalMessage(run), "");
        std::vector<std::string> expected;
        for (size_t i = 0; i < k; ++i) expected.push_back("f" + std::to_string(i) + ".bmp");
        EXPECT_EQ(FolderNames(dest.Path()), expected);
    }
}

TEST_F(ExportRunTest, AFolderAtTheOutputNameFailsThatFileOnly) {
    REQUIRE_WRITERS(".bmp")
    const std::vector<std::string> list{in + "/a.txt", in + "/b.txt", in + "/c.txt"};
    for (const std::string& path : list) WriteBytes(path, path);
    ASSERT_EQ(mkdir((out + "/b.bmp").c_str(), 0755), 0);
    WriteBytes(out + "/b.bmp/keep", "kept");

    std::vector<std::string> failed;
    TExportCallbacks callbacks = FixedSettings({"64", ".bmp", out});
    callbacks.FileFailed = [&](size_t, const std::string& path, const TFileExportResult& result) {
        failed.push_back(path);
        EXPECT_EQ(result.OutputPath, out + "/b.bmp");
        EXPECT_FALSE(result.Reason.empty());
    };
    const TExportRunResult run = RunExportList(list, callbacks);
    EXPECT_EQ(failed, std::vector<std::string>{list[1]});
    EXPECT_EQ(run.Written, 2u);
    EXPECT_EQ(FinalMessage(run), kMessageErrors);
    EXPECT_EQ(ReadBytes(out + "/b.bmp/keep"), "kept");
    EXPECT_EQ(FolderNames(out), (std::vector<std::string>{"a.bmp", "b.bmp", "c.bmp"}));
}

// The file size limit makes every write past it fail, as a full disk would. The outputs are
// smaller than the file stream's buffer, so the failure only shows when the buffer is flushed
// on close.
TEST_F(ExportRunTest, AWriteFailingPartWayLeavesTheOldOutputIntact) {
    REQUIRE_WRITERS(".bmp")
    WriteBytes(in + "/a.txt", "a");
    ThumbnailPicture(in + "/a.txt", 64);   // helpers start before the limit, so they are not bound by it
    for (const char* type : {".bmp", ".png", ".jpg", ".gif"}) {
        if (!HasWriter(type)) continue;
        SCOPED_TRACE(type);
        const std::string output = out + "/a" + type;
        WriteBytes(output, "previous output");

        struct rlimit saved {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        struct rlimit limited = saved;
        limited.rlim_cur = 40;   // bytes: less than any of the outputs
        auto* previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const TFileExportResult result = ExportFile(in + "/a.txt", {"64", type, out}, TListedSources());
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);

        EXPECT_FALSE(result.Written);
        EXPECT_FALSE(result.Reason.empty());
        EXPECT_EQ(ReadBytes(output), "previous output");
        EXPECT_TRUE(NoTemporaryFiles(out));
        // Without the limit the same file is written: the limit alone made it fail.
        EXPECT_TRUE(ExportFile(in + "/a.txt", {"64", type, out}, TListedSources()).Written);
        EXPECT_EQ(QImage(Q(output)).size(), QSize(64, 64));
    }
}

TEST_F(ExportRunTest, DestinationRemovedMidRunFailsTheRemainingFiles) {
    REQUIRE_WRITERS(".bmp")
    const std::vector<std::string> list{in + "/a.txt", in + "/b.txt", in + "/c.txt"};
    for (const std::string& path : list) WriteBytes(path, path);
    const std::string dest = root / "dest";
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    std::vector<size_t> failed;
    TExportCallbacks callbacks = FixedSettings({"64", ".bmp", dest});
    callbacks.FileStarted = [&](size_t index, const std::string&) {
        if (index == 1) std::filesystem::remove_all(dest);
    };
    callbacks.FileFailed = [&](size_t index, const std::string&, const TFileExportResult&) { failed.push_back(index); };
    const TExportRunResult run = RunExportList(list, callbacks);
    EXPECT_EQ(run.Written, 1u);
    EXPECT_EQ(failed, (std::vector<size_t>{1, 2}));
    EXPECT_EQ(FinalMessage(run), kMessageErrors);
    EXPECT_FALSE(std::filesystem::exists(dest));
}

TEST_F(ExportRunTest, UnknownTypeWritesNothing) {
    WriteBytes(in + "/a.txt", "a");
    const TFileExportResult result = ExportFile(in + "/a.txt", {"64", ".xyz", out}, TListedSources());
    EXPECT_FALSE(result.Written);
    EXPECT_TRUE(FolderNames(out).empty());
}

TEST_F(ExportRunTest, UnwritableDestinationFailsEveryFile) {
    REQUIRE_WRITERS(".bmp")
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root; the command-line tests cover this as another user";
    const std::vector<std::string> list{in + "/a.txt", in + "/b.txt"};
    for (const std::string& path : list) WriteBytes(path, path);
    WriteBytes(out + "/a.bmp", "previous output");
    ASSERT_EQ(chmod(out.c_str(), 0555), 0);
    const TExportRunResult run = RunExportList(list, FixedSettings({"64", ".bmp", out}));
    chmod(out.c_str(), 0755);
    EXPECT_EQ(run.Failed, 2u);
    EXPECT_EQ(ReadBytes(out + "/a.bmp"), "previous output");
    EXPECT_EQ(FolderNames(out), std::vector<std::string>{"a.bmp"});
}

TEST_F(ExportRunTest, AListedSourceIsNeverReplaced) {
    REQUIRE_WRITERS(".bmp")
    MakeImage(in + "/photo.bmp", 20, 20, Qt::green);
    const std::string original = ReadBytes(in + "/photo.bmp");
    ASSERT_EQ(symlink(in.c_str(), (root / "in-link").c_str()), 0);
    ASSERT_EQ(symlink((in + "/photo.bmp").c_str(), (root / "out/listed-link.bmp").c_str()), 0);

    // The same folder by its own name, through a link to it, and a listed link to a source.
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{in + "/photo.bmp"}, in},
        {{in + "/photo.bmp"}, root / "in-link/"},
        {{in + "/photo.bmp", out + "/listed-link.bmp"}, out},
    };
    for (const auto& [list, folder] : cases) {
        SCOPED_TRACE(folder);
        std::vector<std::string> failed;
        TExportCallbacks callbacks = FixedSettings({"64", ".bmp", folder});
        callbacks.FileFailed = [&](size_t, const std::string& path, const TFileExportResult&) { failed.push_back(path); };
        RunExportList(list, callbacks);
        EXPECT_EQ(failed, std::vector<std::string>{list.back()});
        EXPECT_EQ(ReadBytes(in + "/photo.bmp"), original);
        EXPECT_TRUE(NoTemporaryFiles(folder));
    }
    char target[4096] = {};
    ASSERT_GT(readlink((out + "/listed-link.bmp").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), in + "/photo.bmp");
}

TEST_F(ExportRunTest, ALinkAtTheOutputNameIsReplacedAndItsTargetKept) {
    REQUIRE_WRITERS(".bmp")
    WriteBytes(in + "/a.txt", "a");
    WriteBytes(root / "victim", "do not touch");
    ASSERT_EQ(symlink((root / "victim").c_str(), (out + "/a.bmp").c_str()), 0);
    const TFileExportResult result = ExportFile(in + "/a.txt", {"64", ".bmp", out}, TListedSources({in + "/a.txt"}));
    EXPECT_TRUE(result.Written) << result.Reason;
    EXPECT_EQ(ReadBytes(root / "victim"), "do not touch");
    struct stat info {};
    ASSERT_EQ(lstat((out + "/a.bmp").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(QImage(Q(out + "/a.bmp")).size(), QSize(64, 64));
}

// A mixed list where several entries share output names, some fail, and types differ.
std::vector<std::string> MixedList(const std::string& in) {
    std::vector<std::string> list;
    for (int i = 0; i < 6; ++i) {
        const std::string folder = in + "/d" + std::to_string(i % 2);
        mkdir(folder.c_str(), 0755);
        list.push_back(folder + "/pic" + std::to_string(i % 4) + ".png");
        MakeImage(list.back(), 30 + i * 7, 20 + i * 5, QColor(40 * i, 255 - 30 * i, 90));
        list.push_back(folder + "/doc" + std::to_string(i) + ".txt");
        WriteBytes(list.back(), "document " + std::to_string(i));
    }
    list.push_back(in + "/missing.png");   // no such file: whatever it gives, both runs must agree
    return list;
}

TEST_F(ExportRunTest, LaterEntryWinsASharedOutputName) {
    REQUIRE_WRITERS(".bmp")
    ASSERT_EQ(mkdir((in + "/one").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((in + "/two").c_str(), 0755), 0);
    MakeImage(in + "/one/x.bmp", 30, 30, Qt::red);
    MakeImage(in + "/two/x.bmp", 30, 30, Qt::blue);
    const std::vector<std::string> list{in + "/one/x.bmp", in + "/two/x.bmp"};
    const QImage expected = ThumbnailPicture(list[1], 128);

    TTempDir sequential, parallel;
    RunExportList(list, FixedSettings({"128", ".bmp", sequential.Path()}));
    RunExportListParallel(list, {"128", ".bmp", parallel.Path()}, 2, TExportCallbacks());
    EXPECT_EQ(MeanDifference(QImage(Q(sequential / "x.bmp")), expected), 0);
    EXPECT_EQ(MeanDifference(QImage(Q(parallel / "x.bmp")), expected), 0);
}

TEST_F(ExportRunTest, ParallelRunWritesTheSameBytesAsTheSequentialOne) {
    REQUIRE_WRITERS(".bmp")
    const std::vector<std::string> list = MixedList(in);
    for (const char* type : {".png", ".gif", ".jpg", ".bmp"}) {
        if (!HasWriter(type)) continue;
        SCOPED_TRACE(type);
        TTempDir one, many;
        const TExportRunResult sequential = RunExportList(list, FixedSettings({"96", type, one.Path()}));

        std::vector<int> percents;
        TExportCallbacks callbacks;
        callbacks.FileFinished = [&](size_t, int percent) { percents.push_back(percent); };
        const TExportRunResult parallel = RunExportListParallel(list, {"96", type, many.Path()}, 3, callbacks);

        EXPECT_EQ(parallel.Written, sequential.Written);
        EXPECT_EQ(parallel.Failed, sequential.Failed);
        ASSERT_EQ(percents.size(), list.size());
        EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
        EXPECT_EQ(percents.back(), 100);
        const std::vector<std::string> names = FolderNames(one.Path());
        ASSERT_EQ(FolderNames(many.Path()), names);
        EXPECT_GT(names.size(), 6u);
        for (const std::string& name : names) EXPECT_EQ(ReadBytes(many / name), ReadBytes(one / name)) << name;
    }
}

}  // namespace
