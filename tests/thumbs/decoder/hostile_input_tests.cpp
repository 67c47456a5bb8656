// Hostile inputs cost at most their own thumbnail: special files, lies in headers, bombs,
// references to other files, and workers that hang, crash, answer nonsense or eat memory.
#include "fixtures.h"
#include "thumbs/confined_decoder.h"

#include <chrono>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const TIOColorBGR kWhite = RGBColor(255, 255, 255);

int OpenDescriptorCount() {
    int count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds)) ++count;
        closedir(fds);
    }
    return count;
}

// A normal decode right after: the layer recovered and another file is unaffected.
void ExpectNextFileDecodes(const FixtureDir& dir) {
    const std::optional<TBitmap> next =
        DecodeFileConfined(dir.Write("next.png", EncodeQt(SolidImage(20, 10, QColor(9, 99, 199)), "png")), 64, kWhite);
    ASSERT_TRUE(next);
    EXPECT_EQ(ColourAt(*next, 10, 5), QColor(9, 99, 199));
}

TEST(ConfinedHostile, OnlyRegularFilesAreHandedOn) {
    const FixtureDir dir;
    const std::string fifo = dir.Path("pipe.png");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = dir.Path("folder.png");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string socketPath = dir.Path("sock.png");
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string png = dir.Write("real.png", EncodeQt(SolidImage(4, 4, QColor(1, 2, 3)), "png"));
    const std::string link = dir.Path("link.png");
    ASSERT_EQ(symlink(png.c_str(), link.c_str()), 0);

    // A FIFO with no writer would block a plain open for ever; the test would hang.
    for (const std::string& path : {fifo, folder, socketPath, std::string("/dev/null"), std::string("/dev/zero"),
                                    dir.Path("missing.png"), dir.Write("empty.png", QByteArray()),
                                    dir.Write("text.png", "just some text, not a picture\n"), std::string()}) {
        EXPECT_FALSE(DecodeFileConfined(path, 64, kWhite)) << path;
    }
    close(listener);
    // A link to a regular file is that file.
    const std::optional<TBitmap> linked = DecodeFileConfined(link, 64, kWhite);
    ASSERT_TRUE(linked);
    EXPECT_EQ(ColourAt(*linked, 0, 0), QColor(1, 2, 3));
    EXPECT_FALSE(DecodeFileConfined(png, 0, kWhite));
    EXPECT_FALSE(DecodeFileConfined(png, 5000, kWhite));
}

TEST(ConfinedHostile, HeadersThatLieAboutTheirSizeAreRefused) {
    const FixtureDir dir;
    const QByteArray png = EncodeQt(SolidImage(16, 16, QColor(5, 5, 5)), "png");
    const QByteArray progressive = EncodeQt(SolidImage(64, 64, QColor(5, 5, 5)), "jpeg", 80, true);
    // 100000 x 100000 pixels would be 40 GB; 32000 x 32000 progressive keeps 6 GB of coefficients.
    EXPECT_FALSE(DecodeFileConfined(dir.Write("bomb.png", PatchPngSize(png, 100000, 100000)), 128, kWhite));
    EXPECT_FALSE(DecodeFileConfined(dir.Write("bomb.jpg", PatchJpegSize(progressive, 32000, 32000)), 128, kWhite));
    // The program's own memory stays small: it never decodes anything itself.
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 512 * 1024) << "kilobytes";
    ExpectNextFileDecodes(dir);
}

TEST(ConfinedHostile, BrokenFilesCostOnlyTheirOwnThumbnail) {
    const FixtureDir dir;
    const QByteArray png = EncodeQt(SolidImage(300, 200, QColor(30, 60, 90)), "png");
    const QByteArray jpeg = EncodeQt(QuadrantImage(300, 200), "jpeg", 90);
    QByteArray hugeChunk = png.left(33);  // signature and IHDR, then a chunk asking for 2 GB
    hugeChunk.append(QByteArray("\x7F\xFF\xFF\xF0zTXt", 8));
    hugeChunk.append(QByteArray(64, 'x'));
    QByteArray flipped = png;
    for (qsizetype i = 60; i < flipped.size(); i += 7) flipped[i] = static_cast<char>(flipped[i] ^ 0x5A);
    const std::pair<const char*, QByteArray> inputs[] = {
        {"truncated.png", png.left(png.size() / 2)},
        {"truncated.jpg", jpeg.left(jpeg.size() / 3)},
        {"header-only.jpg", jpeg.left(20)},
        {"flipped.png", flipped},
        {"huge-chunk.png", hugeChunk},
        {"signature-only.gif", QByteArray("GIF89a")},
        {"bmp-header.bmp", QByteArray("BM") + QByteArray(12, '\0') + QByteArray("\x28\0\0\0\xFF\xFF\xFF\x7F", 8)},
        {"broken.pdf", QByteArray("%PDF-1.4\n1 0 obj << /Type /Catalog >>\n%%EOF\n")},
        {"broken.svg", QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\"><rect")},
        {"svg-bomb.svg",
         QByteArray("<?xml version=\"1.0\"?><!DOCTYPE svg [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;"
                    "&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;"
                    "&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\"><!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;"
                    "&e;\">]><svg xmlns=\"http://www.w3.org/2000/svg\"><text>&f;&f;&f;&f;&f;&f;</text></svg>")},
    };
    for (const auto& [name, bytes] : inputs) {
        // Either a picture (what was readable) or nothing; never a crash of the program.
        const std::optional<TBitmap> bitmap = DecodeFileConfined(dir.Write(name, bytes), 128, kWhite);
        if (bitmap) {
            EXPECT_GE(bitmap->Width(), 1) << name;
            EXPECT_LE(bitmap->Width(), 128) << name;
            EXPECT_LE(bitmap->Height(), 128) << name;
        }
    }
    // A PNG named as a JPEG is still a PNG.
    EXPECT_TRUE(DecodeFileConfined(dir.Write("png-named.jpg", png), 128, kWhite));
    ExpectNextFileDecodes(dir);
}

TEST(ConfinedHostile, JpegWithThousandsOfScansIsRefused) {
    const FixtureDir dir;
    const QByteArray progressive = EncodeQt(SolidImage(32, 32, QColor(50, 50, 50)), "jpeg", 80, true);
    ASSERT_TRUE(DecodeFileConfined(dir.Write("few.jpg", RepeatFirstScan(progressive, 10)), 64, kWhite));
    EXPECT_FALSE(DecodeFileConfined(dir.Write("many.jpg", RepeatFirstScan(progressive, 5000)), 64, kWhite));
}

TEST(ConfinedHostile, SvgCannotPullInOtherFiles) {
    const FixtureDir dir;
    const std::string secret = dir.Write("secret.png", EncodeQt(SolidImage(10, 10, QColor(255, 0, 0)), "png"));
    const QByteArray inlineGreen = EncodeQt(SolidImage(10, 10, QColor(0, 255, 0)), "png").toBase64();
    const QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
                           "width=\"20\" height=\"10\">"
                           "<image x=\"0\" width=\"10\" height=\"10\" xlink:href=\"data:image/png;base64," +
                           inlineGreen + "\"/><image x=\"10\" width=\"10\" height=\"10\" xlink:href=\"" +
                           QByteArray::fromStdString(secret) + "\"/><image x=\"10\" width=\"10\" height=\"10\" "
                           "href=\"secret.png\"/><image x=\"10\" width=\"10\" height=\"10\" href=\"file://" +
                           QByteArray::fromStdString(secret) + "\"/></svg>";
    const std::optional<TBitmap> bitmap = DecodeFileConfined(dir.Write("refs.svg", svg), 20, kWhite);
    ASSERT_TRUE(bitmap);
    EXPECT_LE(ColourDistance(ColourAt(*bitmap, 5, 5), QColor(0, 255, 0)), 2);  // inline data is drawn
    for (int y = 0; y < 10; ++y) {
        for (int x = 11; x < 20; ++x) EXPECT_EQ(ColourAt(*bitmap, x, y), QColor(255, 255, 255)) << x << "," << y;
    }
}

TEST(ConfinedHostile, MisbehavingWorkersAreReplaced) {
    const FixtureDir dir;
    const int descriptorsBefore = OpenDescriptorCount();
    ExpectNextFileDecodes(dir);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(DecodeFileConfined(dir.Write("hang", "PICTOLITH-TEST-HANG"), 64, kWhite));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The limit, not the test's patience, ended it (generous bound for a loaded machine).
    EXPECT_LT(seconds, kConfinedDecodeTimeLimitMs / 1000.0 + 10);
    ExpectNextFileDecodes(dir);

    EXPECT_FALSE(DecodeFileConfined(dir.Write("crash", "PICTOLITH-TEST-CRASH"), 64, kWhite));
    ExpectNextFileDecodes(dir);
    EXPECT_FALSE(DecodeFileConfined(dir.Write("nonsense", "PICTOLITH-TEST-NONSENSE"), 64, kWhite));
    ExpectNextFileDecodes(dir);

    // Killed workers are reaped: no child is left as a zombie, no descriptor leaks.
    EXPECT_LE(waitpid(-1, nullptr, WNOHANG), 0);
    EXPECT_LE(OpenDescriptorCount(), descriptorsBefore + 16);  // idle workers' sockets at most
}

TEST(ConfinedHostile, WorkersHaveNoNetwork) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const FixtureDir dir;
    const std::string hook = "PICTOLITH-TEST-CONNECT " + std::to_string(ntohs(address.sin_port));
    const std::optional<TBitmap> answer = DecodeFileConfined(dir.Write("connect", hook.c_str()), 64, kWhite);
    close(listener);
    ASSERT_TRUE(answer);
    const std::string sandbox = ConfinedDecoderSandbox();
    // Bubblewrap always unshares the network; the fallback can where the kernel allows it
    // (always for root).
    if (sandbox == "bubblewrap" || geteuid() == 0) {
        EXPECT_EQ(answer->Width(), 2) << sandbox << ": a worker reached a local port";
    } else {
        std::printf("network from %s workers: %s\n", sandbox.c_str(), answer->Width() == 2 ? "none" : "reachable");
    }
}

#if defined(__SANITIZE_ADDRESS__)
#define PICTOLITH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PICTOLITH_ASAN 1
#endif
#endif

TEST(ConfinedHostile, WorkerMemoryIsLimited) {
#ifdef PICTOLITH_ASAN
    GTEST_SKIP() << "AddressSanitizer builds run workers without the address-space limit";
#else
    const FixtureDir dir;
    // The worker answers with a picture, and at once, when it could reserve 8 GB.
    EXPECT_FALSE(DecodeFileConfined(dir.Write("allocate", "PICTOLITH-TEST-ALLOCATE"), 64, kWhite));
    ExpectNextFileDecodes(dir);
#endif
}

}  // namespace
