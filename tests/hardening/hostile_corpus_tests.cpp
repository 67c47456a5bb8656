// The hostile-input corpus through the command-line exporter: no crash, no hang, every listed
// file either written (and readable) or named as failed, nothing written outside the
// destination, and no file made by a name that tries to run a command.
#include "export/export_run.h"
#include "export/file_list.h"
#include "tests/export/test_files.h"

#include <QImage>
#include <QRandomGenerator>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

struct TRun {
    int status = -1;   // exit status, 128 + signal, or -1 when it had to be killed
    std::string err;
};

struct TFaults {
    std::vector<std::pair<std::string, std::string>> environment;
    rlim_t fileSizeLimit = RLIM_INFINITY;
};

// Runs a program with standard error captured, killing it (and failing) past `limit`.
TRun RunWithLimit(const std::vector<std::string>& argv, const std::string& folder, std::chrono::seconds limit,
                  const TFaults& faults = {}) {
    TTempDir capture;
    const std::string errPath = capture / "err";
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int null = open("/dev/null", O_RDWR);
        if (err < 0 || null < 0 || chdir(folder.c_str()) != 0) _exit(126);
        dup2(null, 0);
        dup2(null, 1);
        dup2(err, 2);
        for (const auto& [name, value] : faults.environment) setenv(name.c_str(), value.c_str(), 1);
        if (faults.fileSizeLimit != RLIM_INFINITY) {
            // Ignored, SIGXFSZ would kill the program; a write past the limit then fails with EFBIG.
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limitSize{faults.fileSizeLimit, faults.fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limitSize);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    TRun run;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    run.err = ReadBytes(errPath);
    return run;
}

using TSnapshot = std::map<std::string, std::tuple<mode_t, off_t, int64_t>>;

// Every entry of a folder with its type, size and change time, links not followed.
TSnapshot Snapshot(const std::string& folder) {
    TSnapshot snapshot;
    for (const std::string& name : FolderNames(folder)) {
        struct stat info {};
        if (lstat((folder + "/" + name).c_str(), &info) == 0)
            snapshot[name] = {info.st_mode, info.st_size, static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
    }
    return snapshot;
}

TEST(HostileCorpus, EveryFileWrittenOrNamedAndNothingElseTouched) {
    TTempDir root;
    ASSERT_FALSE(root.Path().empty());
    const std::string corpus = root / "corpus", dest = root / "dest", work = root / "work";
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);

    const TRun made = RunWithLimit({"python3", PICTOLITH_CORPUS_SCRIPT, corpus}, work, std::chrono::seconds(300));
    ASSERT_EQ(made.status, 0) << made.err;
    const TSnapshot before = Snapshot(corpus);
    const std::vector<std::string> listed = ListFolderFiles(corpus);
    ASSERT_GT(listed.size(), 60u);

    for (const char* jobs : {"1", "2"}) {
        SCOPED_TRACE(std::string("--jobs ") + jobs);
        for (const std::string& name : FolderNames(dest)) unlink((dest + "/" + name).c_str());
        const TRun run = RunWithLimit({PICTOLITH_CLI, "--type", ".png", "--size", "64", "--jobs", jobs, "--quiet",
                                       "--dest", dest, corpus},
                                      work, std::chrono::seconds(600));
        ASSERT_TRUE(run.status == 0 || run.status == 1) << "status " << run.status << "\n" << run.err;

        std::vector<std::string> expected;
        for (const std::string& source : listed) {
            const std::string output = BuildOutputPath(dest, source, ".png");
            expected.push_back(output.substr(dest.size() + 1));
            if (run.err.find(source) != std::string::npos) continue;   // named as failed
            // Read by bytes: a name that is not valid UTF-8 has no QString that opens it.
            const std::string bytes = ReadBytes(output);
            const QImage picture = QImage::fromData(reinterpret_cast<const uchar*>(bytes.data()),
                                                    static_cast<int>(bytes.size()), "PNG");
            EXPECT_FALSE(picture.isNull()) << "neither written nor named: " << source;
            EXPECT_TRUE(picture.width() >= 1 && picture.width() <= 64 && picture.height() >= 1 && picture.height() <= 64)
                << source;
        }
        std::sort(expected.begin(), expected.end());
        expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
        // Only outputs in the destination: no temporary files left, nothing under another name.
        for (const std::string& name : FolderNames(dest))
            EXPECT_TRUE(std::binary_search(expected.begin(), expected.end(), name)) << "unexpected " << name;
        EXPECT_EQ(Snapshot(corpus), before);
        EXPECT_TRUE(FolderNames(work).empty());
        EXPECT_EQ(FolderNames(root.Path()), (std::vector<std::string>{"corpus", "dest", "work"}));
        for (const std::string& folder : {work, corpus, dest, root.Path(), std::string("/tmp"), std::string(".")})
            for (const char* planted : {"pwned-by-name", "pwned-by-backquote"})
                EXPECT_NE(access((folder + "/" + planted).c_str(), F_OK), 0) << folder << "/" << planted;
    }
}

// A picture whose files are large in every format: noise compresses badly.
void MakeNoisyPng(const std::string& path) {
    QImage image(128, 128, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) image.setPixel(x, y, random.generate() | 0xFF000000u);
    ASSERT_TRUE(image.save(QString::fromStdString(path), "PNG"));
}

class FailingDisk : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(root.Path().empty());
        ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(in.c_str(), 0755), 0);
        setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
        setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        MakeNoisyPng(in + "/photo.png");
    }

    // Exports photo.png with the given faults over an existing output, which must survive.
    void ExpectFailureKeepsOldOutput(const std::string& type, const TFaults& faults) {
        const std::string output = dest + "/photo" + type;
        for (const std::string& name : FolderNames(dest)) unlink((dest + "/" + name).c_str());
        WriteBytes(output, "the earlier output");
        const TRun run = RunWithLimit({PICTOLITH_CLI, "--type", type, "--size", "128", "--quiet", "--dest", dest,
                                       in + "/photo.png"},
                                      root.Path(), std::chrono::seconds(120), faults);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find("failed: " + in + "/photo.png"), std::string::npos) << run.err;
        EXPECT_EQ(ReadBytes(output), "the earlier output");
        EXPECT_EQ(FolderNames(dest), std::vector<std::string>{"photo" + type});
    }

    TTempDir root;
    std::string dest = root / "dest";
    std::string in = root / "in";
};

TEST_F(FailingDisk, WriteThatFailsAfterNBytes) {
    for (const char* type : {".jpg", ".png", ".gif", ".bmp"})
        for (const char* after : {"0", "1", "54", "700", "8000"}) {
            SCOPED_TRACE(std::string(type) + " after " + after);
            ExpectFailureKeepsOldOutput(type, {{{"LD_PRELOAD", WRITE_FAULT_SHIM},
                                                {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"},
                                                {"FAULT_DIR", dest},
                                                {"FAULT_WRITE_AFTER", after}}});
        }
}

TEST_F(FailingDisk, CloseThatFails) {
    for (const char* type : {".jpg", ".png", ".gif", ".bmp"}) {
        SCOPED_TRACE(type);
        ExpectFailureKeepsOldOutput(type, {{{"LD_PRELOAD", WRITE_FAULT_SHIM},
                                            {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"},
                                            {"FAULT_DIR", dest},
                                            {"FAULT_CLOSE", "1"}}});
    }
}

TEST_F(FailingDisk, FileSizeLimit) {
    for (const char* type : {".jpg", ".png", ".gif", ".bmp"}) {
        SCOPED_TRACE(type);
        ExpectFailureKeepsOldOutput(type, {{}, 1000});
    }
}

TEST_F(FailingDisk, DestinationRemovedBetweenFiles) {
    MakeNoisyPng(in + "/second.png");
    MakeNoisyPng(in + "/third.png");
    const std::vector<std::string> paths{in + "/photo.png", in + "/second.png", in + "/third.png"};
    std::vector<std::string> failed;
    TExportCallbacks callbacks;
    callbacks.ReadSettings = [this] { return TExportSettings{"64", ".png", dest}; };
    callbacks.FileFinished = [this](size_t index, int) {
        if (index == 0) {
            for (const std::string& name : FolderNames(dest)) unlink((dest + "/" + name).c_str());
            rmdir(dest.c_str());
        }
    };
    callbacks.FileFailed = [&](size_t, const std::string& path, const TFileExportResult&) { failed.push_back(path); };
    const TExportRunResult result = RunExportList(paths, callbacks);
    EXPECT_TRUE(result.ErrorFlag);
    EXPECT_EQ(result.Written, 1u);
    EXPECT_EQ(result.Failed, 2u);
    EXPECT_EQ(failed, (std::vector<std::string>{in + "/second.png", in + "/third.png"}));
    EXPECT_NE(access(dest.c_str(), F_OK), 0);   // not made again
    EXPECT_EQ(FolderNames(root.Path()), (std::vector<std::string>{"in"}));
}

}  // namespace
