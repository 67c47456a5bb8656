// Worker start-up: program lookup, the bubblewrap probe, limits, the launcher thread, reaping.
#include "thumbs/worker_process.h"

#include "thumbs/worker_protocol.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace wp = worker_protocol;

namespace {

constexpr const char* kWorkerName = "pictolith-thumb-worker";
// Where the worker program appears inside the sandbox, whatever its real path.
constexpr const char* kSandboxedWorker = "/run/pictolith/pictolith-thumb-worker";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// Address space of one worker: Qt, poppler and fonts take about 300 MB of mappings, a decode
// at most its 256 MB budget plus the scaling copy. AddressSanitizer reserves terabytes of
// shadow memory, so sanitizer builds run without this limit (the decoders' own budgets stay).
constexpr rlim_t kAddressSpaceLimit = rlim_t{1536} << 20;
constexpr rlim_t kDescriptorLimit = 64;

bool IsExecutable(const std::string& path) {
    struct stat info{};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string ProgramFolder() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return {};
    std::string path(buffer, static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string Canonical(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return {};
    std::string result(resolved);
    std::free(resolved);
    return result;
}

}  // namespace

std::string FindBubblewrap() {
    for (const char* candidate : {"/usr/bin/bwrap", "/bin/bwrap", "/usr/local/bin/bwrap"}) {
        if (IsExecutable(candidate)) return candidate;
    }
    return {};
}

namespace {

std::vector<std::string> WorkerEnvironment() {
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "HOME=/tmp", "TMPDIR=/tmp", "LANG=C.UTF-8",
                                    "PATH=/usr/bin:/bin"};
    for (const char* name : {"PICTOLITH_WORKER_STDERR", "UBSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    if (kAddressSanitizer) {
        // The worker's own leaks at exit are not the program's; its errors still abort it.
        const char* value = std::getenv("ASAN_OPTIONS");
        env.push_back(std::string("ASAN_OPTIONS=") + (value ? std::string(value) + ":" : "") + "detect_leaks=0");
    }
    return env;
}

std::vector<std::string> WorkerArguments(bool landlock) {
    std::vector<std::string> args;
    if (landlock) args.push_back("--landlock");
    const char* hooks = std::getenv("PICTOLITH_WORKER_TEST_HOOKS");
    if (hooks && std::strcmp(hooks, "1") == 0) args.push_back("--test-hooks");
    return args;
}

// Read-only system, nothing of the user's, no network, own process and IPC namespaces.
std::vector<std::string> BubblewrapArguments(const std::string& bwrap, const std::string& worker,
                                             const std::vector<std::string>& env) {
    std::vector<std::string> args = BubblewrapSystemArguments(bwrap);
    args.insert(args.end(), {"--ro-bind", worker, kSandboxedWorker, "--chdir", "/", "--clearenv"});
    for (const std::string& entry : env) {
        const size_t equals = entry.find('=');
        args.insert(args.end(), {"--setenv", entry.substr(0, equals), entry.substr(equals + 1)});
    }
    args.push_back(kSandboxedWorker);
    return args;
}

}  // namespace

std::vector<std::string> BubblewrapSystemArguments(const std::string& bwrap) {
    std::vector<std::string> args = {bwrap, "--unshare-all", "--die-with-parent", "--new-session",
                                     "--ro-bind", "/usr", "/usr"};
    for (const char* top : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
        char target[PATH_MAX];
        const ssize_t length = readlink(top, target, sizeof target - 1);
        if (length > 0) {
            args.insert(args.end(), {"--symlink", std::string(target, static_cast<size_t>(length)), top});
        } else {
            args.insert(args.end(), {"--ro-bind-try", top, top});
        }
    }
    for (const char* path : {"/etc/fonts", "/etc/ld.so.cache", "/etc/alternatives", "/var/cache/fontconfig"})
        args.insert(args.end(), {"--ro-bind-try", path, path});
    args.insert(args.end(), {"--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp"});
    return args;
}

namespace {

// Everything the child needs, as C strings made before fork: after fork in a threaded process
// only async-signal-safe calls are allowed.
struct ExecImage {
    std::vector<std::string> argvStrings, envStrings;
    std::vector<char*> argv, env;

    ExecImage(std::vector<std::string> args, std::vector<std::string> environment)
        : argvStrings(std::move(args)), envStrings(std::move(environment)) {
        for (std::string& s : argvStrings) argv.push_back(s.data());
        argv.push_back(nullptr);
        for (std::string& s : envStrings) env.push_back(s.data());
        env.push_back(nullptr);
    }
};

// In the child: limits, no new privileges, its own session (so the group can be killed), the
// handed-on descriptor at 3 (or none), the standard streams on /dev/null, nothing else open.
[[noreturn]] void ExecChild(const ExecImage& image, const ChildLimits& limits, int devNull, bool keepStderr) {
    setsid();
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    const rlimit fileSize{limits.fileSize, limits.fileSize};
    setrlimit(RLIMIT_FSIZE, &fileSize);
    const rlimit descriptors{kDescriptorLimit, kDescriptorLimit};
    setrlimit(RLIMIT_NOFILE, &descriptors);
    if (limits.cpuSeconds > 0) {
        // SIGXCPU at the soft limit, SIGKILL a second later for a program that catches it.
        const rlimit cpu{limits.cpuSeconds, limits.cpuSeconds + 1};
        setrlimit(RLIMIT_CPU, &cpu);
    }
    if (!kAddressSanitizer) {
        const rlimit addressSpace{kAddressSpaceLimit, kAddressSpaceLimit};
        setrlimit(RLIMIT_AS, &addressSpace);
    }
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    if (limits.landlockRuleset >= 0) syscall(SYS_landlock_restrict_self, limits.landlockRuleset, 0);

    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaultAction{};
    defaultAction.sa_handler = SIG_DFL;
    for (int signal : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGXCPU})
        sigaction(signal, &defaultAction, nullptr);

    const int highNull = fcntl(devNull, F_DUPFD, 10);
    const int highInherited = limits.inheritFd >= 0 ? fcntl(limits.inheritFd, F_DUPFD, 10) : -1;
    dup2(highNull, 0);
    dup2(highNull, 1);
    if (!keepStderr) dup2(highNull, 2);
    if (highInherited >= 0) dup2(highInherited, wp::kSocketFd);
    const int firstToClose = highInherited >= 0 ? wp::kSocketFd + 1 : 3;
    if (syscall(SYS_close_range, firstToClose, ~0U, 0) != 0) {
        for (int fd = firstToClose; fd < 4096; ++fd) close(fd);
    }
    execve(image.argv[0], image.argv.data(), image.env.data());
    _exit(127);
}

pid_t Fork(const ExecImage& image, const ChildLimits& limits) {
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0) return -1;
    const bool keepStderr = std::getenv("PICTOLITH_WORKER_STDERR") != nullptr;
    const pid_t pid = fork();
    if (pid == 0) ExecChild(image, limits, devNull, keepStderr);
    close(devNull);
    return pid;
}

pid_t Fork(const ExecImage& image, int socket) {
    ChildLimits limits;
    limits.inheritFd = socket;
    return Fork(image, limits);
}

// Runs the worker's --probe inside bubblewrap: success means the sandbox starts here, with the
// binds the worker needs.
bool BubblewrapWorks(const std::vector<std::string>& args) {
    std::vector<std::string> probe = args;
    probe.push_back("--probe");
    const ExecImage image(std::move(probe), {});
    const pid_t pid = Fork(image, -1);
    if (pid < 0) return false;
    const int64_t deadline = SteadyMilliseconds() + 10000;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0 && errno != EINTR) return false;
        if (SteadyMilliseconds() > deadline) {
            KillAndReap(pid);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

WorkerLaunchPlan MakePlan() {
    WorkerLaunchPlan plan;
    plan.workerPath = Canonical(FindWorkerProgram());
    if (plan.workerPath.empty()) {
        std::fprintf(stderr, "pictolith: %s not found; thumbnails fall back to icons\n", kWorkerName);
        return plan;
    }
    const std::vector<std::string> env = WorkerEnvironment();
    const char* forced = std::getenv("PICTOLITH_WORKER_SANDBOX");
    const bool skipBubblewrap = forced && std::strcmp(forced, "landlock") == 0;
    const std::string bwrap = skipBubblewrap ? std::string() : FindBubblewrap();
    if (!bwrap.empty()) {
        std::vector<std::string> args = BubblewrapArguments(bwrap, plan.workerPath, env);
        if (BubblewrapWorks(args)) {
            for (const std::string& arg : WorkerArguments(false)) args.push_back(arg);
            plan.sandbox = WorkerSandbox::Bubblewrap;
            plan.argv = std::move(args);
            return plan;
        }
    }
    plan.sandbox = WorkerSandbox::Landlock;  // LimitsOnly when the worker reports it could not
    plan.argv = {plan.workerPath};
    for (const std::string& arg : WorkerArguments(true)) plan.argv.push_back(arg);
    plan.env = env;
    return plan;
}

// The one thread that forks workers; it lives as long as the process.
class Launcher {
public:
    static Launcher& Instance() {
        // Never destroyed: its thread waits for work until the process ends.
        static Launcher* launcher = new Launcher;
        return *launcher;
    }

    template <typename Result>
    Result Run(std::function<Result()> job) {
        auto task = std::make_shared<std::packaged_task<Result()>>(std::move(job));
        std::future<Result> result = task->get_future();
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back([task] { (*task)(); });
        }
        wake_.notify_one();
        return result.get();
    }

private:
    Launcher() : thread_([this] { Loop(); }) {}

    void Loop() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !jobs_.empty(); });
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::thread thread_;
};

struct Spawned {
    pid_t pid = -1;
    int socket = -1;
};

Spawned SpawnOnLauncher() {
    const WorkerLaunchPlan& plan = LaunchPlan();
    if (plan.sandbox == WorkerSandbox::Unavailable) return {};
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return {};
    const ExecImage image(plan.argv, plan.sandbox == WorkerSandbox::Bubblewrap ? std::vector<std::string>{} : plan.env);
    const pid_t pid = Fork(image, sockets[1]);
    close(sockets[1]);
    if (pid < 0) {
        close(sockets[0]);
        return {};
    }
    return {pid, sockets[0]};
}

}  // namespace

void KillAndReap(pid_t pid) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

pid_t SpawnConfined(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                    const ChildLimits& limits) {
    const ExecImage image(argv, env);
    return Fork(image, limits);
}

int64_t SteadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool ReceiveBefore(int socket, void* data, size_t length, int64_t deadlineMs) {
    auto* p = static_cast<char*>(data);
    while (length > 0) {
        const int64_t left = deadlineMs - SteadyMilliseconds();
        if (left <= 0) return false;
        pollfd wait{socket, POLLIN, 0};
        const int ready = poll(&wait, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t got = recv(socket, p, length, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return false;
        p += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

std::string FindWorkerProgram() {
    if (const char* overridePath = std::getenv("PICTOLITH_THUMB_WORKER"); overridePath && *overridePath)
        return IsExecutable(overridePath) ? std::string(overridePath) : std::string();
    const std::string folder = ProgramFolder();
    std::vector<std::string> candidates;
    if (!folder.empty()) candidates.push_back(folder + "/" + kWorkerName);
#ifdef PICTOLITH_WORKER_BUILD_PATH
    candidates.push_back(PICTOLITH_WORKER_BUILD_PATH);
#endif
#ifdef PICTOLITH_WORKER_INSTALL_PATH
    candidates.push_back(PICTOLITH_WORKER_INSTALL_PATH);
#endif
    if (!folder.empty()) candidates.push_back(folder + "/../libexec/pictolith/" + kWorkerName);
    for (const std::string& candidate : candidates) {
        if (IsExecutable(candidate)) return candidate;
    }
    return {};
}

const WorkerLaunchPlan& LaunchPlan() {
    // Decided on the launcher thread, so the probe's sandbox has the same parent as the workers'.
    static const WorkerLaunchPlan plan =
        Launcher::Instance().Run<WorkerLaunchPlan>([] { return MakePlan(); });
    return plan;
}

WorkerProcess::~WorkerProcess() {
    close(socket_);
    KillAndReap(pid_);
}

bool WorkerProcess::WaitReady(int timeoutMs) {
    wp::Ready ready{};
    if (!ReceiveBefore(socket_, &ready, sizeof ready, SteadyMilliseconds() + timeoutMs)) return false;
    if (ready.magic != wp::kReadyMagic || (ready.version & ~wp::kReadyLandlock) != wp::kVersion) return false;
    landlocked_ = (ready.version & wp::kReadyLandlock) != 0;
    return true;
}

std::unique_ptr<WorkerProcess> StartWorker() {
    LaunchPlan();  // outside the launcher's job: the plan itself is made there
    const Spawned spawned = Launcher::Instance().Run<Spawned>([] { return SpawnOnLauncher(); });
    if (spawned.pid < 0) return nullptr;
    return std::make_unique<WorkerProcess>(spawned.pid, spawned.socket);
}
