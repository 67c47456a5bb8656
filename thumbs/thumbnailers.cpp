// Installed thumbnailers: their key files, the choice by MIME type, the command line without a
// shell, and one confined run per file.
#include "thumbs/thumbnailers.h"

#include "thumbs/confined_decoder.h"
#include "thumbs/worker/landlock_rules.h"
#include "thumbs/worker_process.h"

#include <QFile>
#include <QMimeDatabase>
#include <QMimeType>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/landlock.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// Where the input and the output folder appear inside bubblewrap, whatever the file's name.
constexpr const char* kSandboxInputFolder = "/tmp/thumbnailer-input";
constexpr const char* kSandboxOutputFolder = "/tmp/thumbnailer-output";
constexpr const char* kOutputName = "thumbnail.png";
// Largest file a thumbnailer may write; a PNG thumbnail is far smaller.
constexpr rlim_t kOutputSizeLimit = rlim_t{32} << 20;
constexpr const char* kSandboxPath = "/usr/local/bin:/usr/bin:/bin";

std::atomic<int> timeLimitMs{kThumbnailerTimeLimitMs};

// Removes the private folder of a run, whatever the thumbnailer left in it (links are removed,
// never followed).
class PrivateFolder {
public:
    PrivateFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/pictolith-thumbnailer-XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~PrivateFolder() {
        if (path_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

bool IsExecutableFile(const std::string& path) {
    struct stat info{};
    return path.size() > 1 && path[0] == '/' && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// An absolute program path, or the name looked up in $PATH; empty when it is not an executable.
std::string ResolveProgram(const std::string& program) {
    if (program.empty()) return {};
    if (program.find('/') != std::string::npos) return IsExecutableFile(program) ? program : std::string();
    const char* pathVariable = std::getenv("PATH");
    const std::string searchPath = pathVariable && *pathVariable ? pathVariable : kSandboxPath;
    size_t start = 0;
    while (start <= searchPath.size()) {
        const size_t colon = std::min(searchPath.find(':', start), searchPath.size());
        const std::string folder = searchPath.substr(start, colon - start);
        if (!folder.empty() && folder[0] == '/' && IsExecutableFile(folder + "/" + program))
            return folder + "/" + program;
        start = colon + 1;
    }
    return {};
}

// The value escapes of key files: \s \n \t \r \\.
std::string UnescapeValue(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char next = value[++i];
        switch (next) {
            case 's': out += ' '; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case '\\': out += '\\'; break;
            default:  // the quoting escapes Exec handles itself
                out += '\\';
                out += next;
                break;
        }
    }
    return out;
}

std::vector<std::string> SplitList(const std::string& value) {
    std::vector<std::string> items;
    std::string item;
    for (char c : value) {
        if (c == ';') {
            if (!item.empty()) items.push_back(item);
            item.clear();
        } else if (c != ' ') {
            item += c;
        }
    }
    if (!item.empty()) items.push_back(item);
    return items;
}

std::optional<ThumbnailerEntry> ReadThumbnailerFile(const std::string& file) {
    std::ifstream in(file);
    if (!in) return std::nullopt;
    ThumbnailerEntry entry;
    entry.file = file;
    bool inGroup = false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inGroup = line == "[Thumbnailer Entry]";
            continue;
        }
        if (!inGroup) continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals);
        while (!key.empty() && key.back() == ' ') key.pop_back();
        size_t valueStart = equals + 1;
        while (valueStart < line.size() && line[valueStart] == ' ') ++valueStart;
        const std::string value = UnescapeValue(line.substr(valueStart));
        if (key == "TryExec") entry.tryExec = value;
        else if (key == "Exec") entry.exec = value;
        else if (key == "MimeType") entry.mimeTypes = SplitList(value);
    }
    if (entry.exec.empty() || entry.mimeTypes.empty()) return std::nullopt;
    if (!entry.tryExec.empty() && ResolveProgram(entry.tryExec).empty()) return std::nullopt;
    const std::vector<std::string> probe = ExpandThumbnailerExec(entry.exec, "i", "u", "o", 1);
    if (probe.empty() || ResolveProgram(probe[0]).empty()) return std::nullopt;
    return entry;
}

std::string FieldValue(char code, const std::string& input, const std::string& inputUri, const std::string& output,
                       int size) {
    switch (code) {
        case 'i': return input;
        case 'u': return inputUri;
        case 'o': return output;
        case 's': return std::to_string(size);
        default: return {};
    }
}

// ".ext" of the file's name when it is short and plain (letters and digits), so the neutral
// name keeps what thumbnailers that look at extensions need and nothing else of the name.
std::string NeutralExtension(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {};
    const std::string extension = name.substr(dot + 1);
    if (extension.size() > 16) return {};
    for (char c : extension) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return {};
    }
    return "." + extension;
}

// Only the system folders are visible in the sandbox; a program elsewhere is bound in.
bool InSystemFolders(const std::string& program) {
    for (const char* prefix : {"/usr/", "/bin/", "/sbin/", "/lib/", "/lib64/"}) {
        if (program.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

// Waits for the child until the deadline; the whole sandbox goes either way. True when it
// exited with status 0 in time.
bool WaitForThumbnailer(pid_t pid, int limitMs) {
    const int64_t deadline = SteadyMilliseconds() + limitMs;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return false;
        if (SteadyMilliseconds() > deadline) {
            KillAndReap(pid);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // What is left of its process group (bubblewrap's pid namespace has already taken the rest).
    kill(-pid, SIGKILL);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The thumbnailer's output when it is a regular, non-empty PNG file of sane size, open.
int OpenOutput(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info{};
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    unsigned char head[8] = {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 8 ||
        static_cast<rlim_t>(info.st_size) > kOutputSizeLimit || pread(fd, head, 8, 0) != 8 ||
        std::memcmp(head, kSignature, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

void SetThumbnailerTimeLimitMs(int milliseconds) {
    timeLimitMs = milliseconds > 0 ? milliseconds : kThumbnailerTimeLimitMs;
}

int ThumbnailerTimeLimitMs() { return timeLimitMs; }

std::vector<std::string> ThumbnailerFolders() {
    std::vector<std::string> folders;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (dataHome && dataHome[0] == '/') folders.push_back(dataHome);
    else if (home && home[0] == '/') folders.push_back(std::string(home) + "/.local/share");
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    const std::string dirs = dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t colon = std::min(dirs.find(':', start), dirs.size());
        const std::string folder = dirs.substr(start, colon - start);
        if (!folder.empty() && folder[0] == '/') folders.push_back(folder);
        start = colon + 1;
    }
    for (std::string& folder : folders) {
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        folder += "/thumbnailers";
    }
    return folders;
}

std::vector<ThumbnailerEntry> DiscoverThumbnailers() {
    std::vector<ThumbnailerEntry> entries;
    std::set<std::string> seen;
    for (const std::string& folder : ThumbnailerFolders()) {
        DIR* dir = opendir(folder.c_str());
        if (!dir) continue;
        std::vector<std::string> names;
        while (dirent* item = readdir(dir)) {
            const std::string name = item->d_name;
            constexpr std::string_view suffix = ".thumbnailer";
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (!seen.insert(name).second) continue;  // an earlier folder's file of this name wins
            if (auto entry = ReadThumbnailerFile(folder + "/" + name)) entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

const ThumbnailerEntry* ChooseThumbnailer(const std::vector<ThumbnailerEntry>& entries, const std::string& mimeType) {
    QMimeDatabase database;
    const QMimeType type = database.mimeTypeForName(QString::fromStdString(mimeType));
    // The type itself, then its ancestors nearest first; each with its aliases.
    std::vector<QMimeType> candidates;
    if (type.isValid()) {
        candidates.push_back(type);
        for (const QString& parent : type.allAncestors()) candidates.push_back(database.mimeTypeForName(parent));
    }
    std::vector<std::vector<std::string>> names;
    if (candidates.empty()) names.push_back({mimeType});
    for (const QMimeType& candidate : candidates) {
        std::vector<std::string> group = {candidate.name().toStdString()};
        for (const QString& alias : candidate.aliases()) group.push_back(alias.toStdString());
        names.push_back(std::move(group));
    }
    for (const std::vector<std::string>& group : names) {
        for (const ThumbnailerEntry& entry : entries) {
            for (const std::string& listed : entry.mimeTypes) {
                QMimeType listedType = database.mimeTypeForName(QString::fromStdString(listed));
                const std::string canonical = listedType.isValid() ? listedType.name().toStdString() : listed;
                if (std::find(group.begin(), group.end(), listed) != group.end() ||
                    std::find(group.begin(), group.end(), canonical) != group.end())
                    return &entry;
            }
        }
    }
    return nullptr;
}

std::vector<std::string> ExpandThumbnailerExec(const std::string& exec, const std::string& input,
                                               const std::string& inputUri, const std::string& output, int size) {
    std::vector<std::string> args;
    std::string current;
    bool inArgument = false, quoted = false;
    for (size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < exec.size() && std::strchr("\"`$\\", exec[i + 1])) {
                current += exec[++i];
            } else if (c == '%' && i + 1 < exec.size()) {
                const char code = exec[++i];
                current += code == '%' ? std::string("%") : FieldValue(code, input, inputUri, output, size);
            } else {
                current += c;
            }
            continue;
        }
        if (c == ' ' || c == '\t') {
            if (inArgument) args.push_back(current);
            current.clear();
            inArgument = false;
            continue;
        }
        inArgument = true;
        if (c == '"') {
            quoted = true;
        } else if (c == '%' && i + 1 < exec.size()) {
            const char code = exec[++i];
            current += code == '%' ? std::string("%") : FieldValue(code, input, inputUri, output, size);
        } else if (c == '%') {
            return {};
        } else {
            current += c;
        }
    }
    if (quoted) return {};
    if (inArgument) args.push_back(current);
    return args;
}

std::optional<TBitmap> ThumbnailWithInstalledThumbnailer(const std::string& path, int size, TIOColorBGR background) {
    if (size < 1 || size > 1024) return std::nullopt;
    const WorkerLaunchPlan& plan = LaunchPlan();
    if (plan.sandbox == WorkerSandbox::Unavailable) return std::nullopt;  // nothing could read its output

    const Descriptor input(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info{};
    if (input.Get() < 0 || fstat(input.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
        return std::nullopt;

    // The type by name and content, read through the descriptor already checked.
    std::string mimeType;
    {
        QFile file;
        if (!file.open(input.Get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) return std::nullopt;
        mimeType = QMimeDatabase().mimeTypeForFileNameAndData(QFile::decodeName(path.c_str()), &file).name().toStdString();
    }
    if (lseek(input.Get(), 0, SEEK_SET) != 0) return std::nullopt;
    const std::vector<ThumbnailerEntry> entries = DiscoverThumbnailers();
    const ThumbnailerEntry* entry = ChooseThumbnailer(entries, mimeType);
    if (!entry) return std::nullopt;

    const PrivateFolder folder;
    if (folder.Path().empty()) return std::nullopt;
    const std::string outFolder = folder.Path() + "/out";
    const std::string inFolder = folder.Path() + "/in";
    if (mkdir(outFolder.c_str(), 0700) != 0 || mkdir(inFolder.c_str(), 0700) != 0) return std::nullopt;
    const std::string inputName = "input" + NeutralExtension(path);

    const bool bubblewrap = plan.sandbox == WorkerSandbox::Bubblewrap;
    const std::string seenInput = (bubblewrap ? std::string(kSandboxInputFolder) : inFolder) + "/" + inputName;
    const std::string seenOutput = (bubblewrap ? std::string(kSandboxOutputFolder) : outFolder) + "/" + kOutputName;
    std::vector<std::string> command =
        ExpandThumbnailerExec(entry->exec, seenInput, "file://" + seenInput, seenOutput, size);
    if (command.empty()) return std::nullopt;
    command[0] = ResolveProgram(command[0]);
    if (command[0].empty()) return std::nullopt;

    const std::vector<std::string> environment = {"HOME=" + std::string(bubblewrap ? "/tmp" : outFolder),
                                                  "TMPDIR=" + std::string(bubblewrap ? "/tmp" : outFolder),
                                                  std::string("PATH=") + kSandboxPath, "LANG=C.UTF-8"};
    std::vector<std::string> argv, env;
    ChildLimits limits;
    limits.fileSize = kOutputSizeLimit;
    limits.cpuSeconds = static_cast<rlim_t>((ThumbnailerTimeLimitMs() + 999) / 1000);
    limits.inheritFd = input.Get();
    int ruleset = -1;
    if (bubblewrap) {
        // The input is bound read-only from the descriptor (handed on as 3), never by its name.
        argv = BubblewrapSystemArguments(FindBubblewrap());
        argv.insert(argv.end(), {"--ro-bind-fd", "3", seenInput, "--bind", outFolder, kSandboxOutputFolder});
        if (!InSystemFolders(command[0])) argv.insert(argv.end(), {"--ro-bind", command[0], command[0]});
        argv.insert(argv.end(), {"--chdir", kSandboxOutputFolder, "--clearenv"});
        for (const std::string& entryText : environment) {
            const size_t equals = entryText.find('=');
            argv.insert(argv.end(), {"--setenv", entryText.substr(0, equals), entryText.substr(equals + 1)});
        }
        argv.insert(argv.end(), command.begin(), command.end());
    } else {
        // The neutral name points at the descriptor the thumbnailer inherits as 3; Landlock, where
        // the kernel has it, leaves it the system read-only, the input readable and its folder.
        if (symlink("/proc/self/fd/3", seenInput.c_str()) != 0) return std::nullopt;
        ruleset = MakeLandlockRuleset({{folder.Path(), LandlockEverything()},
                                       {"/proc/self/fd/" + std::to_string(input.Get()), LANDLOCK_ACCESS_FS_READ_FILE},
                                       {command[0], LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_EXECUTE}});
        limits.landlockRuleset = ruleset;
        argv = command;
        env = environment;
    }
    const pid_t pid = SpawnConfined(argv, env, limits);
    if (ruleset >= 0) close(ruleset);
    if (pid < 0) return std::nullopt;
    if (!WaitForThumbnailer(pid, ThumbnailerTimeLimitMs())) return std::nullopt;

    const Descriptor output(OpenOutput(outFolder + "/" + kOutputName));
    if (output.Get() < 0) return std::nullopt;
    // Decoded in a confined worker like any other picture; the path names the checked descriptor.
    return DecodeFileConfined("/proc/self/fd/" + std::to_string(output.Get()), size, background);
}
