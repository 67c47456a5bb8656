// The calling side of confined decoding: opening inputs without blocking, the pool of workers,
// the per-file wall-clock limit, and checking every answer before it becomes a bitmap.
#include "thumbs/confined_decoder.h"

#include "thumbs/worker_process.h"
#include "thumbs/worker_protocol.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace wp = worker_protocol;

namespace {

// A worker loads Qt, its plugins and the font configuration before it reports ready.
constexpr int kStartTimeoutMs = 20000;
// At most this many workers run at once; more parallel callers wait for one to come free.
constexpr size_t kMaxWorkers = 16;

// Opens an input for reading without ever blocking (a FIFO or a device would block a plain
// open) and keeps it only when it is a regular file.
int OpenRegularFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info{};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) {
        close(fd);
        return -1;
    }
    return fd;
}

enum class Outcome { Decoded, Refused, NotDelivered, Failed };

bool SendRequest(int socket, const wp::Request& request, const std::string& uri, int fd) {
    iovec parts[2] = {{const_cast<wp::Request*>(&request), sizeof request},
                      {const_cast<char*>(uri.data()), uri.size()}};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = uri.empty() ? 1 : 2;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
    const size_t total = sizeof request + uri.size();
    ssize_t sent = 0;
    do {
        // The request is far smaller than the socket's buffer; it goes whole or not at all.
        sent = sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(total);
}

// One request on one worker. Anything but a well-formed answer in time means the worker is
// broken or hostile-fed: the caller throws it away.
Outcome Exchange(WorkerProcess& worker, const wp::Request& request, const std::string& uri, int fd,
                 std::optional<TBitmap>& result) {
    if (!SendRequest(worker.Socket(), request, uri, fd)) return Outcome::NotDelivered;
    const int64_t deadline = SteadyMilliseconds() + kConfinedDecodeTimeLimitMs;
    wp::Reply reply{};
    if (!ReceiveBefore(worker.Socket(), &reply, sizeof reply, deadline)) return Outcome::Failed;
    if (reply.magic != wp::kReplyMagic) return Outcome::Failed;
    if (reply.status == wp::kRefused) return reply.width == 0 && reply.height == 0 ? Outcome::Refused : Outcome::Failed;
    if (reply.status != wp::kDecoded || reply.width < 1 || reply.height < 1 || reply.width > request.size ||
        reply.height > request.size)
        return Outcome::Failed;

    const size_t rowBytes = size_t(reply.width) * 3;
    std::vector<uint8_t> pixels(rowBytes * size_t(reply.height));
    if (!ReceiveBefore(worker.Socket(), pixels.data(), pixels.size(), deadline)) return Outcome::Failed;
    TBitmap bitmap;
    bitmap.SetSize(reply.width, reply.height);
    if (bitmap.BitsPerPixel() != 24) bitmap.SetBitsPerPixel(24);
    for (int y = 0; y < reply.height; ++y) std::memcpy(bitmap.ScanLine(y), pixels.data() + size_t(y) * rowBytes, rowBytes);
    result = std::move(bitmap);
    return Outcome::Decoded;
}

// True while an idle worker's socket is quiet: anything readable (data or end of stream)
// means it died or talks out of turn.
bool LooksHealthy(const WorkerProcess& worker) {
    pollfd check{worker.Socket(), POLLIN, 0};
    return poll(&check, 1, 0) == 0;
}

class WorkerPool {
public:
    static WorkerPool& Instance() {
        // Never destroyed: workers see their socket close when the process ends and exit.
        static WorkerPool* pool = new WorkerPool;
        return *pool;
    }

    // An idle worker, or a new one; waits while kMaxWorkers are busy. nullptr when no worker
    // can be started.
    std::unique_ptr<WorkerProcess> Acquire() {
        std::vector<std::unique_ptr<WorkerProcess>> dead;
        std::unique_ptr<WorkerProcess> worker;
        {
            std::unique_lock lock(mutex_);
            freed_.wait(lock, [this] { return !idle_.empty() || busy_ < kMaxWorkers; });
            while (!idle_.empty() && !worker) {
                std::unique_ptr<WorkerProcess> candidate = std::move(idle_.back());
                idle_.pop_back();
                if (LooksHealthy(*candidate)) {
                    worker = std::move(candidate);
                } else {
                    dead.push_back(std::move(candidate));
                }
            }
            ++busy_;
        }
        dead.clear();  // kills and reaps outside the lock
        if (worker) return worker;
        worker = StartWorker();
        if (worker && worker->WaitReady(kStartTimeoutMs)) {
            landlocked_ = worker->Landlocked();
            started_ = true;
            return worker;
        }
        worker.reset();
        Release(nullptr);
        return nullptr;
    }

    // Gives a worker back for reuse (nullptr: it was discarded).
    void Release(std::unique_ptr<WorkerProcess> worker) {
        {
            std::lock_guard lock(mutex_);
            --busy_;
            if (worker) idle_.push_back(std::move(worker));
        }
        freed_.notify_one();
    }

    bool Started() const { return started_; }
    bool Landlocked() const { return landlocked_; }

private:
    std::mutex mutex_;
    std::condition_variable freed_;
    std::vector<std::unique_ptr<WorkerProcess>> idle_;
    size_t busy_ = 0;
    std::atomic<bool> started_{false};
    std::atomic<bool> landlocked_{false};
};

std::optional<TBitmap> RunConfined(const wp::Request& request, const std::string& uri, int fd) {
    WorkerPool& pool = WorkerPool::Instance();
    // A second try only when the request never reached the first worker (it had died idle).
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::unique_ptr<WorkerProcess> worker = pool.Acquire();
        if (!worker) return std::nullopt;
        std::optional<TBitmap> result;
        const Outcome outcome = Exchange(*worker, request, uri, fd, result);
        const bool keep = outcome == Outcome::Decoded || outcome == Outcome::Refused;
        if (!keep) worker.reset();
        pool.Release(std::move(worker));
        if (outcome != Outcome::NotDelivered) return result;
    }
    return std::nullopt;
}

wp::Request MakeRequest(wp::RequestKind kind, int size, TIOColorBGR background) {
    wp::Request request{};
    request.magic = wp::kRequestMagic;
    request.kind = kind;
    request.size = size;
    request.background[0] = background.B;
    request.background[1] = background.G;
    request.background[2] = background.R;
    return request;
}

}  // namespace

std::optional<TBitmap> DecodeFileConfined(const std::string& path, int size, TIOColorBGR background) {
    if (size < 1 || size > wp::kMaxSide) return std::nullopt;
    const Descriptor input(OpenRegularFile(path));
    if (input.Get() < 0) return std::nullopt;
    return RunConfined(MakeRequest(wp::kDecodeFile, size, background), std::string(), input.Get());
}

std::optional<TBitmap> DecodeCachedThumbnailConfined(const std::string& cachePath, const std::string& uri,
                                                     int64_t mtime, int64_t fileSize, int size,
                                                     TIOColorBGR background) {
    if (size < 1 || size > wp::kMaxSide || uri.empty() || uri.size() > wp::kMaxUriLength) return std::nullopt;
    const Descriptor input(OpenRegularFile(cachePath));
    if (input.Get() < 0) return std::nullopt;
    wp::Request request = MakeRequest(wp::kDecodeCachedThumbnail, size, background);
    request.mtime = mtime;
    request.fileSize = fileSize;
    request.uriLength = static_cast<uint32_t>(uri.size());
    return RunConfined(request, uri, input.Get());
}

std::string ConfinedDecoderSandbox() {
    const WorkerLaunchPlan& plan = LaunchPlan();
    if (plan.sandbox == WorkerSandbox::Unavailable) return "unavailable";
    if (plan.sandbox == WorkerSandbox::Bubblewrap) return "bubblewrap";
    WorkerPool& pool = WorkerPool::Instance();
    if (!pool.Started()) {
        if (std::unique_ptr<WorkerProcess> worker = pool.Acquire()) pool.Release(std::move(worker));
    }
    if (!pool.Started()) return "unavailable";
    return pool.Landlocked() ? "landlock" : "limits";
}
