// Starting and stopping one confined decoding worker: where its program is, how it is
// sandboxed on this machine (decided once), its limits, and the process handle that kills the
// whole sandbox when it goes.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

enum class WorkerSandbox { Bubblewrap, Landlock, LimitsOnly, Unavailable };

// Owns one file descriptor and closes it when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

// How the next workers start; decided once per process (bubblewrap probed with the worker
// itself). PICTOLITH_WORKER_SANDBOX=landlock skips bubblewrap.
struct WorkerLaunchPlan {
    WorkerSandbox sandbox = WorkerSandbox::Unavailable;
    std::string workerPath;
    std::vector<std::string> argv;  // program and arguments, bubblewrap's when used
    std::vector<std::string> env;   // NAME=value, the whole environment of the started program
};
const WorkerLaunchPlan& LaunchPlan();

// The worker program: $PICTOLITH_THUMB_WORKER, beside the running program, in the build tree,
// or installed. Empty when none is found.
std::string FindWorkerProgram();

// One running worker. Its destructor kills the process group it leads (with bubblewrap's
// --die-with-parent that takes the whole sandbox) and reaps it.
class WorkerProcess {
public:
    WorkerProcess(pid_t pid, int socket) : pid_(pid), socket_(socket) {}
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    int Socket() const { return socket_; }
    bool Landlocked() const { return landlocked_; }

    // Waits until the worker reports ready (it loads Qt, fonts and plugins first).
    bool WaitReady(int timeoutMs);

private:
    pid_t pid_;
    int socket_;
    bool landlocked_ = false;
};

// Starts a worker by the plan. The fork happens on one long-lived thread of the layer, because
// bubblewrap ties the sandbox's life to the thread that started it and callers' threads come
// and go. nullptr when it cannot be started.
std::unique_ptr<WorkerProcess> StartWorker();

// How a confined child is limited beyond what every one gets (no core dumps, no new privileges,
// 64 descriptors, its own session, the address-space limit outside sanitizer builds).
struct ChildLimits {
    rlim_t fileSize = 0;      // largest file it may write
    rlim_t cpuSeconds = 0;    // 0: no CPU-time limit
    int inheritFd = -1;       // handed on as descriptor 3
    int landlockRuleset = -1; // applied before the program starts
};

// Starts `argv` (an absolute program path first) with exactly `env`, its standard streams on
// /dev/null, as the leader of a new session. -1 when it cannot fork. Async-signal-safe in the
// child, so any thread may call it; with bubblewrap's --die-with-parent that thread must outlive
// the child.
pid_t SpawnConfined(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                    const ChildLimits& limits);
// Kills the process group `pid` leads and `pid` itself, and reaps it.
void KillAndReap(pid_t pid);

// bubblewrap's program, empty when it is not installed.
std::string FindBubblewrap();
// bubblewrap with every namespace unshared, dying with its parent, a read-only system, fresh
// /proc, /dev and an empty /tmp; callers add their binds, environment and program.
std::vector<std::string> BubblewrapSystemArguments(const std::string& bwrap);

// Reads exactly `length` bytes before the deadline (steady clock, milliseconds since epoch of
// that clock). False on timeout, end of stream or error.
bool ReceiveBefore(int socket, void* data, size_t length, int64_t deadlineMs);
int64_t SteadyMilliseconds();
