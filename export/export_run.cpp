// The export run: output path, size text, percentage, one file's export through a temporary
// file, and the sequential and parallel runs over a list.
#include "export/export_run.h"

#include "imageio/image_io.h"
#include "thumbs/file_thumb.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>

std::string BuildOutputPath(const std::string& folder, const std::string& source, const std::string& type) {
    std::string name = source.substr(source.find_last_of('/') + 1);   // npos + 1 == 0
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos) name.erase(dot);
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    return path + name + type;
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int ParseSizeText(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

    int base = 10;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == text.size()) return kDefaultExportSize;   // no digits at all

    // The magnitude may reach 2^31 only for a negative number.
    const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const int digit = HexDigit(text[i]);
        if (digit < 0 || digit >= base) return kDefaultExportSize;
        value = value * base + digit;
        if (value > limit) return kDefaultExportSize;
    }
    return static_cast<int>(negative ? -value : value);
}

int ExportPercent(size_t index, size_t count) {
    if (count == 0) return 0;
    // Exact integers: a half is a half, and it goes to the even neighbour.
    const uint64_t scaled = (static_cast<uint64_t>(index) + 1) * 100;
    uint64_t quotient = scaled / count;
    const uint64_t twiceRemainder = 2 * (scaled % count);
    if (twiceRemainder > count || (twiceRemainder == count && quotient % 2 == 1)) ++quotient;
    return static_cast<int>(quotient);
}

bool IsExistingDirectory(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TListedSources::TListedSources(const std::vector<std::string>& paths) : paths_(paths) {
    std::sort(paths_.begin(), paths_.end());
    for (const std::string& path : paths) {
        struct stat info {};
        // The file behind a link and the link itself: replacing either would change a source.
        if (stat(path.c_str(), &info) == 0) {
            identities_.push_back({static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)});
        }
        if (lstat(path.c_str(), &info) == 0) {
            identities_.push_back({static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)});
        }
    }
    std::sort(identities_.begin(), identities_.end());
}

bool TListedSources::Contains(const std::string& outputPath) const {
    if (std::binary_search(paths_.begin(), paths_.end(), outputPath)) return true;
    // The output name itself is replaced, never followed, so its own identity is what counts;
    // the folders on the way are followed, so another spelling of a source's folder is caught.
    struct stat info {};
    if (lstat(outputPath.c_str(), &info) != 0) return false;
    const Identity identity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return std::binary_search(identities_.begin(), identities_.end(), identity);
}

namespace {

std::string SystemMessage(int error) { return std::strerror(error); }

// A temporary file beside the output, created exclusively and never through a link, that
// takes the output's place only when Commit() is called; otherwise the destructor removes it.
class TTemporaryOutput {
public:
    // Creates the file; on failure Path() is empty and Error() says why.
    explicit TTemporaryOutput(const std::string& outputPath) : outputPath_(outputPath) {
        const size_t slash = outputPath.find_last_of('/');
        const std::string folder = outputPath.substr(0, slash + 1);
        const std::string name = outputPath.substr(slash + 1);
        const size_t dot = name.find_last_of('.');
        // The save picks its writer by the extension, so the temporary name keeps it.
        const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);

        static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        for (int attempt = 0; attempt < 100; ++attempt) {
            unsigned char noise[10];
            if (getrandom(noise, sizeof noise, 0) != static_cast<ssize_t>(sizeof noise)) {
                error_ = "cannot make a temporary name: " + SystemMessage(errno);
                return;
            }
            std::string candidate = folder + ".pictolith-";
            for (unsigned char byte : noise) candidate += kLetters[byte % (sizeof kLetters - 1)];
            candidate += extension;
            // 0666 like any new output file, narrowed by the umask.
            const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
            if (fd >= 0) {
                fd_ = fd;
                path_ = std::move(candidate);
                return;
            }
            if (errno != EEXIST) {
                error_ = "cannot create a temporary file in " + (folder.empty() ? std::string("/") : folder) + ": " +
                         SystemMessage(errno);
                return;
            }
        }
        error_ = "cannot create a temporary file in " + folder + ": every name tried exists";
    }

    ~TTemporaryOutput() {
        if (fd_ >= 0) close(fd_);
        if (!path_.empty() && !committed_) unlink(path_.c_str());
    }
    TTemporaryOutput(const TTemporaryOutput&) = delete;
    TTemporaryOutput& operator=(const TTemporaryOutput&) = delete;

    const std::string& Path() const { return path_; }
    const std::string& Error() const { return error_; }

    // Moves the finished file onto the output path; false with Error() set when it cannot.
    bool Commit() {
        // The save opened the name again; it must still be the file made here, or a link or
        // another file planted meanwhile would be moved into place.
        struct stat mine {}, now {};
        if (fstat(fd_, &mine) != 0 || lstat(path_.c_str(), &now) != 0 || mine.st_dev != now.st_dev ||
            mine.st_ino != now.st_ino) {
            error_ = "the temporary file " + path_ + " was replaced while it was written";
            return false;
        }
        // rename() replaces a link at the output name itself, leaving its target alone.
        if (rename(path_.c_str(), outputPath_.c_str()) != 0) {
            error_ = "cannot replace " + outputPath_ + ": " + SystemMessage(errno);
            return false;
        }
        committed_ = true;
        return true;
    }

private:
    std::string outputPath_;
    std::string path_;
    std::string error_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace

TFileExportResult ExportFile(const std::string& source, const TExportSettings& settings,
                             const TListedSources& listed) {
    TFileExportResult result;
    try {
        // The component, its buffer and I/O object die with this frame, also on an exception.
        TImageView view;
        const int size = ParseSizeText(settings.SizeText);
        ThumbnailToImage(source, size, view);

        result.OutputPath = BuildOutputPath(settings.Folder, source, settings.Type);
        if (listed.Contains(result.OutputPath)) {
            result.Reason = "the output " + result.OutputPath + " would replace a listed file";
            return result;
        }
        TImageIO* io = view.GetIO();
        const TBitmap* picture = io->GetBitmap();
        if (picture == nullptr || picture->Width() <= 0 || picture->Height() <= 0) {
            result.Reason = "no picture could be made";
            return result;
        }

        TTemporaryOutput temporary(result.OutputPath);
        if (temporary.Path().empty()) {
            result.Reason = temporary.Error();
            return result;
        }
        io->SaveToFile(temporary.Path());
        // A short write, a failed close, an unknown type or an empty buffer leave the flag set.
        if (io->AbortRequested != 0) {
            result.Reason = "the image could not be written completely (disk full, write error or unknown type)";
            return result;
        }
        if (!temporary.Commit()) {
            result.Reason = temporary.Error();
            return result;
        }
        result.Written = true;
    } catch (const std::exception& error) {
        result.Reason = error.what();
    } catch (...) {
        result.Reason = "unknown error";
    }
    return result;
}

TExportRunResult RunExportList(const std::vector<std::string>& paths, const TExportCallbacks& callbacks) {
    TExportRunResult run;
    const TListedSources listed(paths);
    for (size_t i = 0; i < paths.size(); ++i) {
        if (callbacks.Cancelled && callbacks.Cancelled()) {
            run.Cancelled = true;
            break;
        }
        if (callbacks.FileStarted) callbacks.FileStarted(i, paths[i]);
        TFileExportResult file;
        try {
            const TExportSettings settings = callbacks.ReadSettings ? callbacks.ReadSettings() : TExportSettings{};
            file = ExportFile(paths[i], settings, listed);
        } catch (const std::exception& error) {
            file.Reason = error.what();
        }
        if (file.Written) {
            ++run.Written;
        } else {
            ++run.Failed;
            run.ErrorFlag = true;
            if (callbacks.FileFailed) callbacks.FileFailed(i, paths[i], file);
        }
        if (callbacks.FileFinished) callbacks.FileFinished(i, ExportPercent(i, paths.size()));
    }
    return run;
}

TExportRunResult RunExportListParallel(const std::vector<std::string>& paths, const TExportSettings& settings,
                                       unsigned jobs, const TExportCallbacks& callbacks) {
    TExportRunResult run;
    const TListedSources listed(paths);

    // Entries sharing an output path form one group, made in list order by one thread, so the
    // last of them is renamed into place last, exactly as in a sequential run. Names are grouped
    // regardless of ASCII case: on a case-insensitive file system (a FAT stick) "A.png" and
    // "a.png" are one file, and elsewhere grouping them only costs a little parallelism.
    std::vector<std::vector<size_t>> groups;
    std::unordered_map<std::string, size_t> groupOfOutput;
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string key = BuildOutputPath(settings.Folder, paths[i], settings.Type);
        for (char& c : key) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        const auto [slot, added] = groupOfOutput.try_emplace(std::move(key), groups.size());
        if (added) groups.emplace_back();
        groups[slot->second].push_back(i);
    }

    std::mutex lock;   // guards run, finished and every callback
    size_t finished = 0;
    std::atomic<size_t> nextGroup{0};
    std::atomic<bool> stop{false};

    auto work = [&] {
        for (size_t g = nextGroup++; g < groups.size() && !stop; g = nextGroup++) {
            for (size_t i : groups[g]) {
                {
                    std::lock_guard<std::mutex> guard(lock);
                    if (stop || (callbacks.Cancelled && callbacks.Cancelled())) {
                        stop = true;
                        run.Cancelled = true;
                        return;
                    }
                    if (callbacks.FileStarted) callbacks.FileStarted(i, paths[i]);
                }
                const TFileExportResult file = ExportFile(paths[i], settings, listed);
                std::lock_guard<std::mutex> guard(lock);
                if (file.Written) {
                    ++run.Written;
                } else {
                    ++run.Failed;
                    run.ErrorFlag = true;
                    if (callbacks.FileFailed) callbacks.FileFailed(i, paths[i], file);
                }
                if (callbacks.FileFinished) callbacks.FileFinished(finished, ExportPercent(finished, paths.size()));
                ++finished;
            }
        }
    };

    if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
    const size_t threadCount = std::min<size_t>(jobs, groups.size());
    std::vector<std::thread> threads;
    for (size_t t = 1; t < threadCount; ++t) threads.emplace_back(work);
    work();   // the calling thread is one of the workers
    for (std::thread& thread : threads) thread.join();
    return run;
}

std::string FinalMessage(const TExportRunResult& result) {
    if (result.Cancelled) return std::string();
    return result.ErrorFlag ? kMessageErrors : kMessageDone;
}
