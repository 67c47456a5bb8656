// pictolith-cli run as a program on real files in private folders: its arguments, exit
// statuses, messages, outputs read back with Qt's readers, and its failure handling.
#include "imageio/image_io.h"
#include "thumbs/file_thumb.h"
#include "tests/export/test_files.h"

#include <QColor>
#include <QImage>
#include <QString>

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr char kDone[] = "Images has been generated!\n";
constexpr char kErrors[] = "Some errors happened because bad file format or file is opend by other application\n";

QString Q(const std::string& path) { return QString::fromLocal8Bit(path.data(), static_cast<qsizetype>(path.size())); }

void MakeImage(const std::string& path, int width, int height, QColor colour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    ASSERT_TRUE(image.save(Q(path), "PNG")) << path;
}

bool HasWriter(const std::string& type) {
    const TIOWriterTable& writers = Writers();
    if (type == ".png") return writers.Png != nullptr;
    if (type == ".jpg" || type == ".jpeg") return writers.Jpeg != nullptr;
    if (type == ".gif") return writers.Gif != nullptr;
    if (type == ".bmp") return writers.Bmp != nullptr;
    return false;
}

#define REQUIRE_WRITERS(...)                                                    \
    for (const char* required : {__VA_ARGS__}) {                                \
        if (!HasWriter(required)) GTEST_SKIP() << "no writer for " << required; \
    }

// Some tests read a photo's own pixels back; they need a thumbnail maker that decodes images
// rather than one that gives every file its type's icon.
bool ThumbnailMakerDecodesImages(const std::string& folder) {
    const std::string probe = folder + "/decode-probe.png";
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::red);
    if (!image.save(Q(probe), "PNG")) return false;
    TImageView view;
    ThumbnailToImage(probe, 128, view);
    const TBitmap* picture = view.GetIO()->GetBitmap();
    unlink(probe.c_str());
    return picture != nullptr && picture->Width() == 40 && picture->Height() == 30;
}

// The thumbnail maker's own picture of a file, to compare a written file with.
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

struct TRun {
    int status = -1;   // exit status, or 128 + signal
    std::string out;
    std::string err;
};

struct TRunOptions {
    std::string workingFolder;
    bool asNobody = false;                    // drop root's privileges in the child
    std::vector<std::string> wrapper;         // a program the command line is handed to
};

// Runs the given program with standard output and error captured in files.
TRun RunProgram(const std::vector<std::string>& argv, const TRunOptions& options = {}) {
    TTempDir capture;
    chmod(capture.Path().c_str(), 0777);
    const std::string outPath = capture / "out", errPath = capture / "err";
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int nullInput = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || nullInput < 0) _exit(126);
        dup2(nullInput, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (!options.workingFolder.empty() && chdir(options.workingFolder.c_str()) != 0) _exit(126);
        if (options.asNobody && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                                 setresuid(65534, 65534, 65534) != 0))
            _exit(126);
        execv(args[0], args.data());
        _exit(127);
    }
    TRun run;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReadBytes(outPath);
    run.err = ReadBytes(errPath);
    return run;
}

TRun RunCli(const std::vector<std::string>& args, const TRunOptions& options = {}) {
    std::vector<std::string> argv = options.wrapper;
    argv.push_back(PICTOLITH_CLI);
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, options);
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(root.Path().empty());
        // Reachable by the unprivileged user some tests run as.
        ASSERT_EQ(chmod(root.Path().c_str(), 0755), 0);
        setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
        setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        ASSERT_EQ(mkdir(in.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    }

    TTempDir root;
    std::string in = root / "in";
    std::string out = root / "out";
};

TEST_F(CliTest, HelpAndVersion) {
    const TRun help = RunCli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: pictolith-cli [--type TYPE] [--size TEXT] --dest DIR [--jobs N] [--quiet] PATH...", 0), 0u);
    const TRun version = RunCli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("pictolith-cli ") + PICTOLITH_VERSION + "\n");
}

TEST_F(CliTest, RefusesBeforeAnyWork) {
    WriteBytes(in + "/a.txt", "a");
    WriteBytes(root / "plain-file", "");
    const std::string empty = root / "empty";
    ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((empty + "/only-a-folder").c_str(), 0755), 0);
    const std::string noFiles = "Please select files you want to extract Thumbnail  !";
    const std::string noFolder = "Please select image output folder!";

    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--dest", out}, noFiles},
        {{"--dest", out, empty}, noFiles},
        {{empty}, noFiles},   // the list is tested before the folder
        {{in + "/a.txt"}, noFolder},
        {{"--dest", root / "missing", in + "/a.txt"}, noFolder},
        {{"--dest", root / "plain-file", in + "/a.txt"}, noFolder},
        {{"--dest", out, in + "/missing.txt"}, "missing.txt"},
        {{"--type", ".tiff", "--dest", out, in + "/a.txt"}, ".tiff"},
        {{"--type", "", "--dest", out, in + "/a.txt"}, "unknown type"},
        {{"--jobs", "0", "--dest", out, in + "/a.txt"}, "--jobs"},
        {{"--jobs", "2x", "--dest", out, in + "/a.txt"}, "--jobs"},
        {{"--bogus", "--dest", out, in + "/a.txt"}, "--bogus"},
        {{"--dest"}, "--dest"},
    };
    for (const auto& [args, message] : cases) {
        std::string shown;
        for (const std::string& arg : args) shown += arg + " ";
        SCOPED_TRACE(shown);
        const TRun run = RunCli(args);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(Contains(run.err, message)) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(FolderNames(out).empty());
    }
}

TEST_F(CliTest, EveryTypeFromRealFilesToReadableImages) {
    const bool decodes = ThumbnailMakerDecodesImages(root.Path());
    MakeImage(in + "/photo.png", 40, 30, QColor(10, 120, 230));
    WriteBytes(in + "/notes.txt", "notes");
    ASSERT_EQ(mkdir((in + "/sub").c_str(), 0755), 0);
    WriteBytes(in + "/sub/skipped.txt", "not taken: folders are not entered");
    WriteBytes(in + "/~$lock.txt", "not taken");

    const std::map<std::string, std::string> types{
        {"jpg", ".jpg"}, {".JPEG", ".jpeg"}, {"Bmp", ".bmp"}, {".gif", ".gif"}, {"PNG", ".png"}};
    size_t typesTried = 0;
    for (const auto& [given, extension] : types) {
        if (!HasWriter(extension)) continue;
        ++typesTried;
        SCOPED_TRACE(given);
        TTempDir dest;
        const TRun run = RunCli({"--type", given, "--size", "0x40", "--dest", dest.Path(), in});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, kDone);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(FolderNames(dest.Path()), (std::vector<std::string>{"notes" + extension, "photo" + extension}));
        const QImage photo(Q(dest / ("photo" + extension)));
        const QImage notes(Q(dest / ("notes" + extension)));
        EXPECT_EQ(notes.size(), QSize(64, 64));
        if (!decodes) {
            EXPECT_EQ(photo.size(), QSize(64, 64));
            continue;
        }
        EXPECT_EQ(photo.size(), QSize(40, 30));
        // The photo's colour survives every writer (JPEG within its loss).
        const QColor centre = photo.pixelColor(20, 15);
        EXPECT_NEAR(centre.red(), 10, 8);
        EXPECT_NEAR(centre.green(), 120, 8);
        EXPECT_NEAR(centre.blue(), 230, 8);
    }
    if (typesTried == 0) GTEST_SKIP() << "no writers yet";
    if (!HasWriter(".jpg")) return;
    // Default type .jpg and size 128.
    const TRun run = RunCli({"--dest", out, in + "/notes.txt"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(QImage(Q(out + "/notes.jpg")).size(), QSize(128, 128));
}

TEST_F(CliTest, FailedFilesAreNamedWithTheirReasonAndTheOthersWritten) {
    REQUIRE_WRITERS(".bmp")
    for (const char* name : {"a", "b", "c"}) WriteBytes(in + "/" + name + ".txt", name);
    ASSERT_EQ(mkdir((out + "/b.bmp").c_str(), 0755), 0);
    // Relative paths are made absolute; "./c.txt" and "c.txt" are one entry.
    TRunOptions options;
    options.workingFolder = in;
    const TRun run = RunCli({"--type", "bmp", "--dest", out, "a.txt", "b.txt", "./b.txt", "c.txt", "./c.txt"}, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "pictolith-cli: failed: " + in + "/b.txt: cannot replace " + out + "/b.bmp: Is a directory\n" +
                           kErrors);
    EXPECT_TRUE(QImage(Q(out + "/a.bmp")).width() > 0);
    EXPECT_TRUE(QImage(Q(out + "/c.bmp")).width() > 0);
}

TEST_F(CliTest, LaterEntryWinsASharedOutputName) {
    REQUIRE_WRITERS(".bmp")
    for (const char* folder : {"/one", "/two", "/three"}) ASSERT_EQ(mkdir((in + folder).c_str(), 0755), 0);
    WriteBytes(in + "/one/x.txt", "the earlier entry");
    MakeImage(in + "/two/x.gif.png", 30, 30, Qt::green);
    MakeImage(in + "/three/x.png", 30, 30, Qt::blue);
    MakeImage(in + "/three/y.png", 30, 30, Qt::yellow);
    const QImage later = ThumbnailPicture(in + "/three/x.png", 128);
    ASSERT_NE(ThumbnailPicture(in + "/one/x.txt", 128), later);
    for (const char* jobs : {"1", "2", "4"}) {
        SCOPED_TRACE(jobs);
        TTempDir dest;
        const TRun run = RunCli({"--type", "bmp", "--jobs", jobs, "--dest", dest.Path(), in + "/one/x.txt",
                                 in + "/three/x.png", in + "/three/y.png", in + "/two/x.gif.png"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(FolderNames(dest.Path()), (std::vector<std::string>{"x.bmp", "x.gif.bmp", "y.bmp"}));
        EXPECT_EQ(QImage(Q(dest / "x.bmp")).convertToFormat(QImage::Format_RGB32), later);
    }
}

TEST_F(CliTest, JobsWriteTheSameBytesAsOneJob) {
    REQUIRE_WRITERS(".bmp")
    for (int i = 0; i < 10; ++i) {
        MakeImage(in + "/pic" + std::to_string(i) + ".png", 20 + 9 * i, 150 - 7 * i, QColor(25 * i, 200 - 15 * i, 60));
        WriteBytes(in + "/doc" + std::to_string(i % 4) + (i < 4 ? ".txt" : ".md"), "document " + std::to_string(i));
    }
    WriteBytes(in + "/data.bin", std::string(1000, '\x01'));
    for (const char* type : {"jpg", "bmp", "gif", "png"}) {
        if (!HasWriter(std::string(".") + type)) continue;
        SCOPED_TRACE(type);
        TTempDir one, two;
        const TRun sequential = RunCli({"--type", type, "--size", "100", "--jobs", "1", "--dest", one.Path(), in});
        const TRun parallel = RunCli({"--type", type, "--size", "100", "--jobs", "2", "--dest", two.Path(), in});
        EXPECT_EQ(sequential.status, 0) << sequential.err;
        EXPECT_EQ(parallel.status, 0) << parallel.err;
        const std::vector<std::string> names = FolderNames(one.Path());
        EXPECT_EQ(names.size(), 15u);
        ASSERT_EQ(FolderNames(two.Path()), names);
        for (const std::string& name : names) EXPECT_EQ(ReadBytes(two / name), ReadBytes(one / name)) << name;
    }
}

TEST_F(CliTest, UnwritableDestinationFailsEveryFileAndKeepsOldOutputs) {
    REQUIRE_WRITERS(".bmp")
    WriteBytes(in + "/a.txt", "a");
    WriteBytes(in + "/b.txt", "b");
    WriteBytes(out + "/a.bmp", "previous output");
    ASSERT_EQ(chmod(out.c_str(), 0555), 0);
    // Permissions do not bind root, so root runs the program as an unprivileged user.
    TRunOptions options;
    options.asNobody = geteuid() == 0;
    const TRun run = RunCli({"--type", ".bmp", "--quiet", "--dest", out, in + "/a.txt", in + "/b.txt"}, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "pictolith-cli: failed: " + in + "/a.txt: ")) << run.err;
    EXPECT_TRUE(Contains(run.err, "pictolith-cli: failed: " + in + "/b.txt: ")) << run.err;
    EXPECT_TRUE(Contains(run.err, "Permission denied")) << run.err;
    EXPECT_TRUE(Contains(run.err, kErrors));
    EXPECT_EQ(FolderNames(out), std::vector<std::string>{"a.bmp"});
    EXPECT_EQ(ReadBytes(out + "/a.bmp"), "previous output");
}

// A small tmpfs as the destination, filled up so the outputs cannot be written: they are smaller
// than the file stream's buffer, so only the flush on close finds the disk full.
TEST_F(CliTest, FullDiskLeavesNoPartialFileAndKeepsOldOutputs) {
    REQUIRE_WRITERS(".bmp")
    if (access("/usr/bin/unshare", X_OK) != 0) GTEST_SKIP() << "unshare is not installed";
    const TRun probe = RunProgram({"/usr/bin/unshare", "-rm", "/bin/true"});
    if (probe.status != 0) GTEST_SKIP() << "no user and mount namespaces here: " << probe.err;
    WriteBytes(in + "/a.txt", "a");
    WriteBytes(in + "/b.txt", "b");
    const std::string dest = root / "small";
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);

    // Inside the namespace: mount, keep an old output, fill the disk, run, show what is left;
    // then free the space and run again, which must succeed, so the full disk was the cause.
    const std::string script =
        "set -u; mount -t tmpfs -o size=64k tmpfs \"$1\" || exit 90; "
        "printf 'previous output' > \"$1/a$5\"; "
        "cat /dev/zero > \"$1/filler\" 2>/dev/null; "
        "\"$2\" --type \"$5\" --size 60 --quiet --jobs 2 --dest \"$1\" \"$3\" \"$4\"; echo \"status=$?\"; "
        "ls -A \"$1\"; cat \"$1/a$5\"; echo; rm \"$1/filler\"; "
        "\"$2\" --type \"$5\" --size 60 --quiet --dest \"$1\" \"$3\" \"$4\" >/dev/null 2>&1; echo \"then=$?\"";
    for (const char* type : {".bmp", ".png", ".jpg", ".gif"}) {
        if (!HasWriter(type)) continue;
        SCOPED_TRACE(type);
        const TRun run = RunProgram({"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script, "sh", dest, PICTOLITH_CLI,
                                     in + "/a.txt", in + "/b.txt", type});
        ASSERT_NE(run.status, 90) << run.err;
        EXPECT_EQ(run.out, std::string("status=1\na") + type + "\nfiller\nprevious output\nthen=0\n");
        EXPECT_TRUE(Contains(run.err, "pictolith-cli: failed: " + in + "/a.txt: ")) << run.err;
        EXPECT_TRUE(Contains(run.err, "pictolith-cli: failed: " + in + "/b.txt: ")) << run.err;
        EXPECT_TRUE(Contains(run.err, kErrors)) << run.err;
    }
}

TEST_F(CliTest, APlantedLinkIsReplacedAndItsTargetKept) {
    REQUIRE_WRITERS(".bmp")
    WriteBytes(in + "/a.txt", "a");
    WriteBytes(root / "victim", "do not touch");
    ASSERT_EQ(symlink((root / "victim").c_str(), (out + "/a.bmp").c_str()), 0);
    const TRun run = RunCli({"--type", "bmp", "--dest", out, in + "/a.txt"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadBytes(root / "victim"), "do not touch");
    struct stat info {};
    ASSERT_EQ(lstat((out + "/a.bmp").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(QImage(Q(out + "/a.bmp")).size(), QSize(128, 128));
}

TEST_F(CliTest, AListedSourceIsNeverOverwritten) {
    REQUIRE_WRITERS(".bmp")
    MakeImage(in + "/photo.bmp", 20, 20, Qt::magenta);
    WriteBytes(in + "/notes.txt", "notes");
    const std::string original = ReadBytes(in + "/photo.bmp");
    const TRun run = RunCli({"--type", "bmp", "--dest", in, in});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "pictolith-cli: failed: " + in + "/photo.bmp: ")) << run.err;
    EXPECT_EQ(ReadBytes(in + "/photo.bmp"), original);
    EXPECT_TRUE(QImage(Q(in + "/notes.bmp")).width() > 0);
}

// Runs the program with standard error on a terminal and returns what the terminal got.
std::string TerminalOutput(const std::vector<std::string>& args) {
    std::vector<std::string> argv{PICTOLITH_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (const std::string& arg : argv) raw.push_back(const_cast<char*>(arg.c_str()));
    raw.push_back(nullptr);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        // Only standard error stays on the terminal.
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        execv(raw[0], raw.data());
        _exit(127);
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;   // EIO once the program has gone
        }
    }
    close(master);
    waitpid(pid, nullptr, 0);
    return text;
}

TEST_F(CliTest, ProgressBarOnlyOnATerminalAndNotWhenQuiet) {
    REQUIRE_WRITERS(".bmp")
    for (const char* name : {"a", "b", "c"}) WriteBytes(in + "/" + name + ".txt", name);
    const std::string shown = TerminalOutput({"--type", "bmp", "--jobs", "1", "--dest", out, in});
    EXPECT_TRUE(Contains(shown, "] 33%")) << shown;
    EXPECT_TRUE(Contains(shown, "] 67%")) << shown;
    EXPECT_TRUE(Contains(shown, "] 100%")) << shown;
    EXPECT_EQ(TerminalOutput({"--quiet", "--type", "bmp", "--dest", out, in}), "");
    // Standard error redirected to a file gets no bar.
    EXPECT_EQ(RunCli({"--type", "bmp", "--dest", out, in}).err, "");
}

}  // namespace
