// pictolith-thumb-worker: decodes untrusted files for the thumbnail layer. It is started
// confined (resource limits, bubblewrap or Landlock), receives each input as a descriptor on
// the socket at descriptor 3, and answers with finished pixels. It serves files until the
// socket closes.
#include "thumbs/worker/decode.h"
#include "thumbs/worker/landlock_rules.h"
#include "thumbs/worker_protocol.h"

#include <QGuiApplication>
#include <QImageReader>
#include <cerrno>
#include <csignal>
#include <sched.h>
#include <cstdlib>
#include <cstring>
#include <poppler-qt6.h>
#include <string_view>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace wp = worker_protocol;

namespace {

constexpr int kSocket = wp::kSocketFd;

bool SendAll(const void* data, size_t length) {
    const auto* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t sent = send(kSocket, p, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        p += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool ReceiveAll(void* data, size_t length) {
    auto* p = static_cast<char*>(data);
    while (length > 0) {
        const ssize_t got = recv(kSocket, p, length, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

// The fixed part of a request and the one descriptor attached to it (-1 when none or more
// than one came; extra descriptors are closed).
bool ReceiveRequest(wp::Request& request, int& fd) {
    fd = -1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    iovec io{&request, sizeof request};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = 0;
    do {
        got = recvmsg(kSocket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    int received = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int incoming = -1;
            std::memcpy(&incoming, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (received++ == 0) {
                fd = incoming;
            } else {
                close(incoming);
            }
        }
    }
    if (received > 1 || (message.msg_flags & MSG_CTRUNC)) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    return ReceiveAll(reinterpret_cast<char*>(&request) + got, sizeof request - static_cast<size_t>(got));
}

bool SendReply(const std::optional<FinishedPicture>& picture) {
    wp::Reply reply{wp::kReplyMagic, wp::kRefused, 0, 0};
    if (picture) {
        reply.status = wp::kDecoded;
        reply.width = picture->width;
        reply.height = picture->height;
    }
    return SendAll(&reply, sizeof reply) && (!picture || SendAll(picture->bgr.data(), picture->bgr.size()));
}

// Inputs that make the worker misbehave on purpose, so tests can check that the layer survives
// a hang, a crash, a wrong answer and memory exhaustion. Only active when the layer asks.
bool RunTestHook(int fd, const wp::Request& request) {
    char head[32] = {};
    if (pread(fd, head, sizeof head - 1, 0) <= 0) return false;
    const std::string_view text(head);
    if (text.starts_with("PICTOLITH-TEST-HANG")) {
        for (;;) pause();
    }
    if (text.starts_with("PICTOLITH-TEST-CRASH")) std::abort();
    if (text.starts_with("PICTOLITH-TEST-NONSENSE")) {
        const wp::Reply reply{wp::kReplyMagic, wp::kDecoded, request.size + 1, 1};
        SendAll(&reply, sizeof reply);
        return true;
    }
    if (text.starts_with("PICTOLITH-TEST-CONNECT ")) {
        // Answers 1 x 1 when a TCP connection to the given local port got through, 2 x 2 when
        // the network is out of reach.
        const int port = std::atoi(head + std::strlen("PICTOLITH-TEST-CONNECT "));
        const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool connected =
            probe >= 0 && connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (probe >= 0) close(probe);
        const int side = connected ? 1 : 2;
        SendReply(FinishedPicture{side, side, std::vector<uint8_t>(size_t(side * side * 3), 0)});
        return true;
    }
    if (text.starts_with("PICTOLITH-TEST-ALLOCATE")) {
        // Reserves up to 8 GB (one byte touched a block, so the test stays fast); under the
        // address-space limit the reservations fail long before.
        std::vector<char*> blocks;
        for (int i = 0; i < 128; ++i) {
            char* block = static_cast<char*>(std::malloc(size_t{64} << 20));
            if (!block) break;
            *static_cast<volatile char*>(block) = 1;
            blocks.push_back(block);
        }
        const bool limited = blocks.size() < 128;
        for (char* block : blocks) std::free(block);
        std::optional<FinishedPicture> answer;
        if (!limited) answer = FinishedPicture{1, 1, {0, 0, 0}};
        SendReply(answer);
        return true;
    }
    return false;
}

void Serve(bool testHooks) {
    const WorkerLimits limits;
    for (;;) {
        wp::Request request{};
        int fd = -1;
        if (!ReceiveRequest(request, fd)) return;  // the layer closed the socket
        if (request.magic != wp::kRequestMagic || request.uriLength > wp::kMaxUriLength) return;
        QByteArray uri(static_cast<qsizetype>(request.uriLength), '\0');
        if (request.uriLength > 0 && !ReceiveAll(uri.data(), request.uriLength)) return;
        if (testHooks && fd >= 0 && RunTestHook(fd, request)) {
            close(fd);
            continue;
        }

        std::optional<FinishedPicture> picture;
        const bool validSize = request.size >= 1 && request.size <= wp::kMaxSide;
        const Background background{request.background[0], request.background[1], request.background[2]};
        struct stat info{};
        // Only regular files: the layer checked too, but the descriptor is what counts here.
        if (fd >= 0 && validSize && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            if (request.kind == wp::kDecodeFile) {
                picture = DecodeInput(fd, request.size, background, limits);
            } else if (request.kind == wp::kDecodeCachedThumbnail) {
                picture = DecodeCachedThumbnail(fd, uri, request.mtime, request.fileSize, request.size,
                                                background, limits);
            }
        }
        if (fd >= 0) close(fd);
        if (!SendReply(picture)) return;
    }
}

void Silence(QtMsgType, const QMessageLogContext&, const QString&) {}
void SilencePoppler(const QString&, const QVariant&) {}

}  // namespace

int main(int argc, char** argv) {
    bool landlock = false;
    bool testHooks = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--probe") return 0;  // the layer checks that the sandbox can start us
        if (arg == "--landlock") landlock = true;
        if (arg == "--test-hooks") testHooks = true;
    }
    // Writes beyond the file-size limit fail instead of killing; a closed socket is an error.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);

    struct stat socketInfo{};
    if (fstat(kSocket, &socketInfo) != 0 || !S_ISSOCK(socketInfo.st_mode)) return 2;
    if (landlock) {
        // Without bubblewrap, still leave the network where the kernel lets us: a new user
        // namespace (unprivileged) or, for root, a network namespace alone. Single-threaded here.
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) unshare(CLONE_NEWNET);
    }
    const bool restricted = landlock && RestrictFileSystemWithLandlock();

    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("PICTOLITH_WORKER_STDERR")) {
        qInstallMessageHandler(Silence);
        Poppler::setDebugErrorFunction(SilencePoppler, QVariant());
    }
    // A GUI application object: SVG text and PDF rendering need fonts.
    QGuiApplication application(argc, argv);
    ApplyDecoderLimits(WorkerLimits{});

    const wp::Ready ready{wp::kReadyMagic, wp::kVersion | (restricted ? wp::kReadyLandlock : 0u)};
    if (!SendAll(&ready, sizeof ready)) return 1;
    Serve(testHooks);
    return 0;
}
