// pictolith-cli: writes the thumbnail pictures of the listed files into a folder, the same
// files the window's export writes for the same list and settings.
#include "export/export_run.h"
#include "export/file_list.h"

#include <QCoreApplication>

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kExitWritten = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitRefused = 2;

constexpr char kUsage[] =
    "Usage: pictolith-cli [--type TYPE] [--size TEXT] --dest DIR [--jobs N] [--quiet] PATH...\n"
    "Writes the thumbnail picture of every listed file into DIR, named after the file with the\n"
    "type's extension. A PATH that is a folder adds the files directly inside it.\n"
    "\n"
    "  --type TYPE   .jpg, .jpeg, .bmp, .gif or .png (dot optional, any case; default .jpg)\n"
    "  --size TEXT   side of the square picture, 52 to 256 (default 128; not a number: 52)\n"
    "  --dest DIR    destination folder; it must exist\n"
    "  --jobs N      files made at once (default: the number of cores)\n"
    "  --quiet       no progress bar\n"
    "  --help        show this text\n"
    "  --version     show the version\n"
    "\n"
    "Exit status: 0 all files written, 1 some files failed, 2 nothing done (bad arguments,\n"
    "no files, or the destination is not an existing folder).\n";

std::atomic<int> gSignal{0};

void OnSignal(int signal) { gSignal = signal; }

void Refuse(const std::string& message) {
    std::fprintf(stderr, "pictolith-cli: %s\n", message.c_str());
}

// ".PNG", "png" and ".png" all give ".png"; empty when not one of the five types.
std::string NormalizeType(const std::string& text) {
    std::string type = text.empty() || text[0] != '.' ? text : text.substr(1);
    for (char& c : type) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    for (const char* known : {"jpg", "jpeg", "bmp", "gif", "png"}) {
        if (type == known) return "." + type;
    }
    return std::string();
}

// A positive decimal count of threads, at most 1024; 0 when the text is not one.
unsigned ParseJobs(const std::string& text) {
    if (text.empty() || text.size() > 4) return 0;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= 1024 ? value : 0;
}

// The path made absolute against the working folder, without resolving links: only empty and
// "." components go, since dropping ".." next to a link would change which file is meant.
std::string MakeAbsolute(const std::string& path) {
    std::string joined = path;
    if (path.empty() || path[0] != '/') {
        std::vector<char> buffer(4096);
        while (getcwd(buffer.data(), buffer.size()) == nullptr) {
            if (errno != ERANGE) return path;
            buffer.resize(buffer.size() * 2);
        }
        joined = std::string(buffer.data()) + "/" + path;
    }
    std::string result;
    size_t start = 0;
    while (start <= joined.size()) {
        size_t end = joined.find('/', start);
        if (end == std::string::npos) end = joined.size();
        const std::string part = joined.substr(start, end - start);
        if (!part.empty() && part != ".") result += "/" + part;
        start = end + 1;
    }
    return result.empty() ? "/" : result;
}

// The progress bar on standard error: redrawn in place, erased before any other text.
class TProgressBar {
public:
    explicit TProgressBar(bool enabled) : enabled_(enabled) {}

    void Show(int percent) {
        if (!enabled_) return;
        constexpr int kWidth = 40;
        const int filled = percent * kWidth / 100;
        std::string bar = "\r[" + std::string(filled, '#') + std::string(kWidth - filled, ' ') + "] ";
        bar += std::to_string(percent) + "%";
        std::fputs(bar.c_str(), stderr);
        std::fflush(stderr);
        shown_ = true;
    }
    void Erase() {
        if (!enabled_ || !shown_) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown_ = false;
    }

private:
    bool enabled_;
    bool shown_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    std::string typeText = ".jpg";
    std::string sizeText = "128";
    std::string dest;
    bool haveDest = false;
    unsigned jobs = 0;
    bool quiet = false;

    enum { kType = 1, kSize, kDest, kJobs, kQuiet, kHelp, kVersion };
    static const option kOptions[] = {
        {"type", required_argument, nullptr, kType},   {"size", required_argument, nullptr, kSize},
        {"dest", required_argument, nullptr, kDest},   {"jobs", required_argument, nullptr, kJobs},
        {"quiet", no_argument, nullptr, kQuiet},       {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},   {nullptr, 0, nullptr, 0},
    };
    opterr = 0;   // our own message below
    for (;;) {
        const int previous = optind;
        const int option = getopt_long(argc, argv, "", kOptions, nullptr);
        if (option == -1) break;
        switch (option) {
        case kType: typeText = optarg; break;
        case kSize: sizeText = optarg; break;
        case kDest:
            dest = optarg;
            haveDest = true;
            break;
        case kJobs:
            jobs = ParseJobs(optarg);
            if (jobs == 0) {
                Refuse(std::string("--jobs wants a number from 1 to 1024, not '") + optarg + "'");
                return kExitRefused;
            }
            break;
        case kQuiet: quiet = true; break;
        case kHelp: std::fputs(kUsage, stdout); return kExitWritten;
        case kVersion: std::printf("pictolith-cli %s\n", PICTOLITH_VERSION); return kExitWritten;
        default: {
            const char* word = previous < argc ? argv[previous] : "";
            Refuse(std::string("unknown option or missing value: ") + word);
            std::fputs("Try 'pictolith-cli --help'.\n", stderr);
            return kExitRefused;
        }
        }
    }

    const std::string type = NormalizeType(typeText);
    if (type.empty()) {
        Refuse("unknown type '" + typeText + "' (use .jpg, .jpeg, .bmp, .gif or .png)");
        return kExitRefused;
    }

    std::vector<std::string> list;
    for (int i = optind; i < argc; ++i) {
        const std::string path = MakeAbsolute(argv[i]);
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            Refuse(std::string(argv[i]) + ": " + std::strerror(errno));
            return kExitRefused;
        }
        if (S_ISDIR(info.st_mode)) {
            AddPathsToList(list, ListFolderFiles(path));
        } else {
            AddPathsToList(list, {path});
        }
    }
    if (list.empty()) {
        Refuse(kMessageEmptyList);
        return kExitRefused;
    }
    if (!haveDest || !IsExistingDirectory(dest)) {
        Refuse(kMessageNoFolder);
        return kExitRefused;
    }

    // An interrupt stops the run before the next file; files being made are finished and no
    // temporary file is left behind. The signal is then raised again so callers see it.
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int caught : {SIGINT, SIGTERM, SIGHUP}) sigaction(caught, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    TProgressBar bar(!quiet && isatty(STDERR_FILENO));
    TExportCallbacks callbacks;
    callbacks.Cancelled = [] { return gSignal != 0; };
    callbacks.FileFailed = [&bar](size_t, const std::string& path, const TFileExportResult& result) {
        bar.Erase();
        std::fprintf(stderr, "pictolith-cli: failed: %s: %s\n", path.c_str(), result.Reason.c_str());
    };
    callbacks.FileFinished = [&bar](size_t, int percent) { bar.Show(percent); };

    TExportSettings settings;
    settings.SizeText = sizeText;
    settings.Type = type;
    settings.Folder = dest;
    // The thumbnail layer uses Qt (MIME types, images, plugins), which wants its application
    // object alive for the whole run and torn down before the process exits.
    QCoreApplication application(argc, argv);
    const TExportRunResult result = RunExportListParallel(list, settings, jobs, callbacks);
    bar.Erase();

    if (result.Cancelled) {
        const int caught = gSignal.load();
        std::signal(caught, SIG_DFL);
        std::raise(caught);
        return kExitSomeFailed;
    }
    // Success goes to standard output, the error summary beside the failed files' lines.
    std::fprintf(result.ErrorFlag ? stderr : stdout, "%s\n", FinalMessage(result).c_str());
    return result.ErrorFlag ? kExitSomeFailed : kExitWritten;
}
