// Installed thumbnailers: discovery, the choice by type, the command line, and confined runs of
// well-behaved and hostile thumbnailers written by the tests.
#include "test_support.h"
#include "thumbs/confined_decoder.h"
#include "thumbs/thumbnailers.h"

#include <QBuffer>
#include <QByteArray>

#include <optional>
#include <set>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const TIOColorBGR kWhite{255, 255, 255};

bool Exists(const std::string& path) {
    struct stat info{};
    return lstat(path.c_str(), &info) == 0;
}

// Pids of live (not zombie) processes whose command line holds `marker`.
std::vector<int> ProcessesWith(const std::string& marker) {
    std::vector<int> found;
    DIR* proc = opendir("/proc");
    while (dirent* item = proc ? readdir(proc) : nullptr) {
        const int pid = std::atoi(item->d_name);
        if (pid <= 0) continue;
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string statText((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t close = statText.rfind(')');
        const bool zombie = close != std::string::npos && close + 2 < statText.size() && statText[close + 2] == 'Z';
        if (!zombie && text.find(marker) != std::string::npos) found.push_back(pid);
    }
    if (proc) closedir(proc);
    return found;
}

// Waits up to two seconds for processes holding `marker` to go (the kernel reaps a dying pid
// namespace asynchronously); the survivors, killed afterwards so no test leaves any.
std::vector<int> SurvivorsOf(const std::string& marker) {
    std::vector<int> left;
    for (int i = 0; i < 200; ++i) {
        left = ProcessesWith(marker);
        if (left.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int pid : left) kill(pid, SIGKILL);
    return left;
}

// A small PNG in base64, for scripts that have no picture tools: 16 x 8, opaque red.
std::string RedPngBase64() {
    QImage image(16, 8, QImage::Format_RGB32);
    image.fill(QColor(255, 0, 0));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toBase64().toStdString();
}

bool BubblewrapHere() { return ConfinedDecoderSandbox() == "bubblewrap"; }

class ThumbnailerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        root_ = dir_.path().toStdString();
        Remember("XDG_DATA_DIRS");
        Remember("XDG_DATA_HOME");
        data_ = root_ + "/data";
        MakeDirs(data_ + "/thumbnailers");
        MakeDirs(root_ + "/home");
        MakeDirs(root_ + "/files");
        // The system folder stays for the MIME database; its thumbnailers take none of the types
        // the tests use.
        setenv("XDG_DATA_DIRS", (data_ + ":/usr/share").c_str(), 1);
        setenv("XDG_DATA_HOME", (root_ + "/home").c_str(), 1);
        if (ConfinedDecoderSandbox() == "unavailable") GTEST_SKIP() << "no confined decoding worker could start";
    }
    void TearDown() override {
        SetThumbnailerTimeLimitMs(0);
        for (const auto& [name, value] : saved_) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
    }

    void Remember(const std::string& name) {
        const char* value = std::getenv(name.c_str());
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }

    // A thumbnailer for `mimeTypes` running the shell script `body`; `$1` is the input, `$2`
    // the output, `$3` the size.
    void AddThumbnailer(const std::string& name, const std::string& body, const std::string& mimeTypes = "text/plain;",
                        const std::string& folder = {}) {
        const std::string script = root_ + "/" + name + ".sh";
        WriteFile(script, "#!/bin/sh\n" + body + "\n");
        chmod(script.c_str(), 0755);
        const std::string target = (folder.empty() ? data_ : folder) + "/thumbnailers";
        MakeDirs(target);
        WriteFile(target + "/" + name + ".thumbnailer",
                  "[Thumbnailer Entry]\nTryExec=" + script + "\nExec=" + script + " %i %o %s\nMimeType=" + mimeTypes +
                      "\n");
    }

    std::string WriteText(const std::string& name, const std::string& text = "pictolith text marker\n") {
        const std::string path = root_ + "/files/" + name;
        WriteFile(path, text);
        return path;
    }

    std::string WriteRedPng() { return "echo '" + RedPngBase64() + "' | base64 -d > \"$2\""; }

    QTemporaryDir dir_;
    std::string root_, data_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

bool IsRed(const TBitmap& bitmap) {
    for (int y = 0; y < bitmap.Height(); ++y) {
        const auto* row = static_cast<const uint8_t*>(bitmap.ScanLine(y));
        for (int x = 0; x < bitmap.Width(); ++x) {
            if (row[3 * x] != 0 || row[3 * x + 1] != 0 || row[3 * x + 2] != 255) return false;
        }
    }
    return true;
}

}  // namespace

TEST(ThumbnailerExec, FieldCodesAndQuotingBecomeArgumentsWithoutAShell) {
    struct Case {
        const char* exec;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"/usr/bin/t -s %s %u %o", {"/usr/bin/t", "-s", "128", "file:///in/input.mp4", "/out/t.png"}},
        {"t  %i   %o", {"t", "/in/input.mp4", "/out/t.png"}},
        {"t \"a b\" \"%i\" 100%% %x", {"t", "a b", "/in/input.mp4", "100%", ""}},
        {"t \"q\\\"uote \\$HOME \\\\\" $(id) ;rm", {"t", "q\"uote $HOME \\", "$(id)", ";rm"}},
        {"t --size=%s", {"t", "--size=128"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExpandThumbnailerExec(c.exec, "/in/input.mp4", "file:///in/input.mp4", "/out/t.png", 128), c.expected)
            << c.exec;
    }
    EXPECT_TRUE(ExpandThumbnailerExec("t \"unclosed %i", "i", "u", "o", 1).empty());
    EXPECT_TRUE(ExpandThumbnailerExec("t %", "i", "u", "o", 1).empty());
}

TEST_F(ThumbnailerTest, DiscoveryHonoursFolderOrderTryExecAndRequiredKeys) {
    const std::string second = root_ + "/second";
    setenv("XDG_DATA_DIRS", (data_ + ":" + second).c_str(), 1);
    AddThumbnailer("same", "exit 0", "text/x-first;");
    AddThumbnailer("same", "exit 0", "text/x-second;", second);
    AddThumbnailer("later", "exit 0", "text/x-later;", second);
    AddThumbnailer("home", "exit 0", "text/x-home;", root_ + "/home");
    WriteFile(data_ + "/thumbnailers/missing.thumbnailer",
              "[Thumbnailer Entry]\nTryExec=/nonexistent/program\nExec=/bin/true %i %o\nMimeType=text/x-missing;\n");
    WriteFile(data_ + "/thumbnailers/noexec.thumbnailer", "[Thumbnailer Entry]\nMimeType=text/x-noexec;\n");
    WriteFile(data_ + "/thumbnailers/othergroup.thumbnailer",
              "[Desktop Entry]\nExec=/bin/true %i %o\nMimeType=text/x-other;\n");
    WriteFile(data_ + "/thumbnailers/notathumbnailer.txt",
              "[Thumbnailer Entry]\nExec=/bin/true %i %o\nMimeType=text/x-txt;\n");

    const std::vector<ThumbnailerEntry> entries = DiscoverThumbnailers();
    std::vector<std::string> types;
    for (const ThumbnailerEntry& entry : entries) types.push_back(entry.mimeTypes.at(0));
    EXPECT_EQ(types, (std::vector<std::string>{"text/x-home", "text/x-first", "text/x-later"}));
}

TEST_F(ThumbnailerTest, ExactTypeWinsOverParentAndParentsAreTried) {
    AddThumbnailer("a-plain", "exit 0", "text/plain;");
    AddThumbnailer("b-csrc", "exit 0", "text/x-csrc;");
    AddThumbnailer("c-xml", "exit 0", "application/xml;");
    std::vector<ThumbnailerEntry> entries = DiscoverThumbnailers();
    std::erase_if(entries, [&](const ThumbnailerEntry& entry) { return entry.file.rfind(root_, 0) != 0; });
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(ChooseThumbnailer(entries, "text/x-csrc"), &entries[1]);
    EXPECT_EQ(ChooseThumbnailer(entries, "text/x-c++src"), &entries[1]) << "text/x-csrc is the nearest parent";
    EXPECT_EQ(ChooseThumbnailer(entries, "text/markdown"), &entries[0]) << "text/plain is its parent";
    EXPECT_EQ(ChooseThumbnailer(entries, "image/svg+xml"), &entries[2]) << "application/xml is its parent";
    EXPECT_EQ(ChooseThumbnailer(entries, "text/xml"), &entries[2]) << "an alias of application/xml";
    EXPECT_EQ(ChooseThumbnailer(entries, "video/mp4"), nullptr);
}

TEST_F(ThumbnailerTest, WorkingThumbnailerGivesItsPictureThroughTheDecoder) {
    AddThumbnailer("red", "[ \"$3\" = 100 ] && grep -q 'text marker' \"$1\" || exit 3\n" + WriteRedPng());
    const std::optional<TBitmap> picture = ThumbnailWithInstalledThumbnailer(WriteText("a.txt"), 100, kWhite);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->Width(), 16);
    EXPECT_EQ(picture->Height(), 8);
    EXPECT_EQ(picture->BitsPerPixel(), 24);
    EXPECT_TRUE(IsRed(*picture));
    // Scaled to fit when larger than asked.
    const std::optional<TBitmap> small = ThumbnailWithInstalledThumbnailer(WriteText("b.txt"), 4, kWhite);
    EXPECT_FALSE(small) << "the script only answers for size 100";
    AddThumbnailer("red", WriteRedPng());
    const std::optional<TBitmap> fitted = ThumbnailWithInstalledThumbnailer(WriteText("c.txt"), 4, kWhite);
    ASSERT_TRUE(fitted);
    EXPECT_EQ(fitted->Width(), 4);
    EXPECT_EQ(fitted->Height(), 2);
}

TEST_F(ThumbnailerTest, FailingThumbnailersGiveNothing) {
    struct Case {
        const char* what;
        std::string body;
    };
    const Case cases[] = {
        {"exits 0 without output", "exit 0"},
        {"writes garbage", "echo 'not a picture at all' > \"$2\""},
        {"writes a PNG signature and garbage", "printf '\\211PNG\\r\\n\\032\\nrubbish' > \"$2\""},
        {"writes a JPEG, not a PNG", "echo '/9j/4AAQSkZJRgABAQAAAQABAAD/2wBDAAgGBgcGBQgHBwcJCQgKDBQNDAsLDBkSEw8UHRofHh0a' | base64 -d > \"$2\""},
        {"fails after writing a picture", WriteRedPng() + "\nexit 1"},
        {"crashes after writing a picture", WriteRedPng() + "\nkill -SEGV $$"},
        {"writes a link to a picture elsewhere", "ln -s /proc/self/exe \"$2\""},
    };
    for (const Case& c : cases) {
        AddThumbnailer("bad", c.body);
        EXPECT_FALSE(ThumbnailWithInstalledThumbnailer(WriteText("x.txt"), 64, kWhite)) << c.what;
    }
    AddThumbnailer("bad", WriteRedPng());
    EXPECT_TRUE(ThumbnailWithInstalledThumbnailer(WriteText("x.txt"), 64, kWhite)) << "the same set-up works";
}

TEST_F(ThumbnailerTest, HangingThumbnailerIsKilledWithItsChildrenWithinTheLimit) {
    AddThumbnailer("hang", WriteRedPng() + "\nsleep 987654.25 &\nsleep 987654.25");
    SetThumbnailerTimeLimitMs(700);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ThumbnailWithInstalledThumbnailer(WriteText("h.txt"), 64, kWhite));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(700));
    EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
    EXPECT_TRUE(SurvivorsOf("987654.25").empty());
}

TEST_F(ThumbnailerTest, DefaultLimitIsFifteenSeconds) {
    EXPECT_EQ(ThumbnailerTimeLimitMs(), 15000);
    AddThumbnailer("hang", "sleep 987653.5");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ThumbnailWithInstalledThumbnailer(WriteText("h.txt"), 64, kWhite));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(15000));
    EXPECT_LT(elapsed, std::chrono::milliseconds(20000));
    EXPECT_TRUE(SurvivorsOf("987653.5").empty());
}

TEST_F(ThumbnailerTest, ChildThatLeavesTheSessionDoesNotSurvive) {
    if (!BubblewrapHere()) GTEST_SKIP() << "bubblewrap does not work here; only its pid namespace stops this";
    AddThumbnailer("escape", "setsid sleep 987652.75 > /dev/null 2>&1 < /dev/null &\nsleep 0.2\n" + WriteRedPng());
    EXPECT_TRUE(ThumbnailWithInstalledThumbnailer(WriteText("s.txt"), 64, kWhite));
    EXPECT_TRUE(SurvivorsOf("987652.75").empty());
}

TEST_F(ThumbnailerTest, WritingOutsideItsFolderAndTheNetworkAreDenied) {
    if (!BubblewrapHere()) GTEST_SKIP() << "bubblewrap does not work here";
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));
    const std::string outside = root_ + "/outside-marker";
    const std::string input = WriteText("w.txt");

    // The script answers with a picture only when every attempt failed, so a success shows the
    // attempts ran and were refused.
    AddThumbnailer("escape", "echo x > '" + outside + "' 2>/dev/null\n"
                             "echo x > /usr/escape-marker 2>/dev/null && exit 4\n"
                             "echo x >> \"$1\" 2>/dev/null && exit 5\n"
                             "echo x > '" + input + "' 2>/dev/null && exit 6\n"
                             "python3 -c \"import socket; socket.create_connection(('127.0.0.1', " + port +
                             "), 2)\" 2>/dev/null && exit 7\n" + WriteRedPng());
    EXPECT_TRUE(ThumbnailWithInstalledThumbnailer(input, 64, kWhite));
    EXPECT_FALSE(Exists(outside));
    std::ifstream in(input);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()),
              "pictolith text marker\n");
    EXPECT_LT(accept(listener, nullptr, nullptr), 0) << "a connection reached the host";
    close(listener);
}

TEST_F(ThumbnailerTest, HostileFileNamesNeverReachTheThumbnailer) {
    const std::string touched = root_ + "/files/pwned";
    // The script answers only when it was given the neutral name with the file's extension.
    AddThumbnailer("name", "case \"$1\" in */input.txt) ;; *) exit 3 ;; esac\n"
                           "case \"$1\" in *' '*|*'%'*|*'$'*|*pwned*|*-rf*) exit 4 ;; esac\n"
                           "grep -q 'text marker' \"$1\" || exit 5\n" + WriteRedPng());
    // From the files' folder, so a command substitution that ran would leave "pwned" there.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(root_ + "/files")));
    for (const std::string& name :
         std::vector<std::string>{"-rf name with spaces.txt", "100% $(touch pwned) %i %o.txt", "-- --help `touch pwned`.txt"}) {
        EXPECT_TRUE(ThumbnailWithInstalledThumbnailer(WriteText(name), 64, kWhite)) << name;
    }
    QDir::setCurrent(previous);
    EXPECT_FALSE(Exists(touched));
}

TEST_F(ThumbnailerTest, OnlyRegularFilesAreHandedOn) {
    AddThumbnailer("any", WriteRedPng(), "text/plain;inode/fifo;inode/directory;application/octet-stream;");
    const std::string fifo = root_ + "/files/pipe.txt";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(ThumbnailWithInstalledThumbnailer(fifo, 64, kWhite));
    EXPECT_FALSE(ThumbnailWithInstalledThumbnailer(root_ + "/files", 64, kWhite));
    EXPECT_FALSE(ThumbnailWithInstalledThumbnailer(WriteText("empty.txt", ""), 64, kWhite));
}

// The thumbnailers the install script adds, on real files.
class RealThumbnailerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        for (const char* name : {"XDG_DATA_DIRS", "XDG_DATA_HOME"}) {
            if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
            unsetenv(name);
        }
        if (ConfinedDecoderSandbox() == "unavailable") GTEST_SKIP() << "no confined decoding worker could start";
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
    }
    static bool Installed(const char* program) { return access(program, X_OK) == 0; }
    static int DistinctColours(const TBitmap& bitmap) {
        std::set<uint32_t> colours;
        for (int y = 0; y < bitmap.Height(); ++y) {
            const auto* row = static_cast<const uint8_t*>(bitmap.ScanLine(y));
            for (int x = 0; x < bitmap.Width(); ++x)
                colours.insert(row[3 * x] | (row[3 * x + 1] << 8) | (uint32_t(row[3 * x + 2]) << 16));
        }
        return static_cast<int>(colours.size());
    }

    QTemporaryDir dir_;
    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(RealThumbnailerTest, ShortVideoGetsAFrame) {
    if (!Installed("/usr/bin/ffmpegthumbnailer")) GTEST_SKIP() << "ffmpegthumbnailer is not installed (scripts/install-deps adds it)";
    if (!Installed("/usr/bin/ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed to make the test video (scripts/install-deps adds it)";
    const std::string video = dir_.path().toStdString() + "/clip of mine.mp4";
    const std::string command = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=10:duration=1 "
                                "-pix_fmt yuv420p '" + video + "' < /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::optional<TBitmap> picture = ThumbnailWithInstalledThumbnailer(video, 128, kWhite);
    ASSERT_TRUE(picture) << "ffmpegthumbnailer gave no picture of the video";
    EXPECT_EQ(picture->Width(), 128);
    EXPECT_EQ(picture->Height(), 96);
    EXPECT_GT(DistinctColours(*picture), 20) << "the test pattern has many colours";
}

TEST_F(RealThumbnailerTest, FontGetsASample) {
    if (!Installed("/usr/bin/gnome-thumbnail-font")) GTEST_SKIP() << "gnome-thumbnail-font is not installed (scripts/install-deps adds gnome-font-viewer)";
    const std::string font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    if (!Exists(font)) GTEST_SKIP() << font << " is not installed (fonts-dejavu-core)";
    const std::optional<TBitmap> picture = ThumbnailWithInstalledThumbnailer(font, 128, kWhite);
    ASSERT_TRUE(picture) << "gnome-thumbnail-font gave no picture of the font";
    EXPECT_GT(picture->Width(), 32);
    EXPECT_GT(DistinctColours(*picture), 2) << "glyphs on a background, smoothed";
}
