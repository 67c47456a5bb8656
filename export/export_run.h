// The export run shared by the progress dialog and the command-line exporter: output path, size
// text, one file's export into a temporary file renamed into place, and the run over a list.
// No widgets here: the caller supplies settings, progress and cancel through callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Texts the window and the command line show.
inline constexpr char kMessageEmptyList[] = "Please select files you want to extract Thumbnail  !";
inline constexpr char kMessageNoFolder[] = "Please select image output folder!";
inline constexpr char kMessageDone[] = "Images has been generated!";
inline constexpr char kMessageErrors[] =
    "Some errors happened because bad file format or file is opend by other application";

// Size used when the size text is not a valid integer.
inline constexpr int kDefaultExportSize = 52;

// The output path of `source`: `folder`, one "/" unless it already ends with one, and the
// source's name (after its last "/") with the extension from its last "." replaced by `type`.
// photo.jpeg -> photo.png, archive.tar.gz -> archive.tar.png, README -> README.png,
// .profile -> .png. Paths are bytes; nothing is resolved.
std::string BuildOutputPath(const std::string& folder, const std::string& source, const std::string& type);

// The size text read as a 32-bit integer: leading blanks, an optional sign, then decimal digits
// or, after "$", "x", "X", "0x" or "0X", hexadecimal digits, up to the end, without overflow.
// Anything else gives kDefaultExportSize. Not clamped: the thumbnail maker clamps to 52..256.
int ParseSizeText(const std::string& text);

// Percentage after the file at 0-based `index` of `count` is done: (index + 1) * 100 / count
// rounded to the nearest integer, halves to the even neighbour (8 files: 12, 25, 38, ... 100).
int ExportPercent(size_t index, size_t count);

// True when `path` names an existing directory (links followed).
bool IsExistingDirectory(const std::string& path);

// Settings of one file, read anew for every file.
struct TExportSettings {
    std::string SizeText = "128";   // parsed with ParseSizeText
    std::string Type = ".jpg";      // ".jpg", ".jpeg", ".bmp", ".gif" or ".png"
    std::string Folder;             // destination folder
};

// The listed source files by identity (device and inode, through links and of the link itself)
// and by exact path, so that no output ever replaces one of them.
class TListedSources {
public:
    TListedSources() = default;
    explicit TListedSources(const std::vector<std::string>& paths);
    // True when `outputPath` is a listed path or the file it names is one of the sources.
    bool Contains(const std::string& outputPath) const;

private:
    struct Identity {
        uint64_t Device;
        uint64_t Inode;
        bool operator<(const Identity& other) const {
            return Device != other.Device ? Device < other.Device : Inode < other.Inode;
        }
    };
    std::vector<std::string> paths_;      // sorted
    std::vector<Identity> identities_;    // sorted
};

// What became of one file.
struct TFileExportResult {
    bool Written = false;
    std::string OutputPath;   // empty when the failure came before the path was built
    std::string Reason;       // why it failed; empty when written
};

// Exports one file: a fresh TImageView, ThumbnailToImage at the parsed size, then SaveToFile into
// a temporary file created exclusively in the destination folder (its name keeps the output's
// extension), renamed onto the output path only when the save returned normally with the abort
// flag clear; otherwise the temporary file is removed and an existing output stays as it was.
// An output path naming a listed source is refused. Never throws for a failure of the file.
// Safe to call from several threads at once for different output paths.
TFileExportResult ExportFile(const std::string& source, const TExportSettings& settings,
                             const TListedSources& listed);

// How a run ended.
struct TExportRunResult {
    bool Cancelled = false;   // a cancel was seen at the top of a file
    bool ErrorFlag = false;   // some file failed
    size_t Written = 0;
    size_t Failed = 0;
};

// The run's ties to its caller. Every member may be left empty.
struct TExportCallbacks {
    // Asked at the top of every file; true stops the run before that file.
    std::function<bool()> Cancelled;
    // Read at the start of every file's work (the window reads its boxes here).
    std::function<TExportSettings()> ReadSettings;
    // Before the file's work: the window shows the path and lets pending events run.
    std::function<void(size_t index, const std::string& path)> FileStarted;
    // A file failed, with its output path (may be empty) and the reason.
    std::function<void(size_t index, const std::string& path, const TFileExportResult& result)> FileFailed;
    // After every file, written or failed: the percentage of ExportPercent.
    std::function<void(size_t index, int percent)> FileFinished;
};

// The run over `paths` in list order, one file at a time on the calling thread: cancel check,
// FileStarted, ReadSettings, ExportFile, FileFailed when it failed, FileFinished.
TExportRunResult RunExportList(const std::vector<std::string>& paths, const TExportCallbacks& callbacks);

// The same run on `jobs` threads (0: one per core) with fixed settings (ReadSettings is not
// called). Entries that share an output path (ASCII case ignored) are made one after another in
// list order on one thread, so the later entry wins as in RunExportList and the files written
// are the same bytes. Callbacks are called
// one at a time (under a lock) from the worker threads; FileFinished's index counts finished
// files (0-based, completion order) so its percentage rises steadily. Cancelled is asked before
// every file; files already started are finished.
TExportRunResult RunExportListParallel(const std::vector<std::string>& paths, const TExportSettings& settings,
                                       unsigned jobs, const TExportCallbacks& callbacks);

// The message shown after a run: kMessageErrors or kMessageDone; empty after a cancel.
std::string FinalMessage(const TExportRunResult& result);
