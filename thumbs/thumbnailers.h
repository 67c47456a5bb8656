// The installed freedesktop thumbnailers: finding them, choosing one for a file by its MIME
// type, and running it confined, one sandbox per file, its output decoded by the confined
// decoder.
#pragma once

#include "imageio/colors.h"
#include "imageio/platform_bitmap.h"

#include <optional>
#include <string>
#include <vector>

// A thumbnailer gets this long per file before its whole sandbox is killed.
constexpr int kThumbnailerTimeLimitMs = 15000;

struct ThumbnailerEntry {
    std::string file;                    // the .thumbnailer file it came from
    std::string tryExec;                 // empty when the key is absent
    std::string exec;                    // the command line, unexpanded
    std::vector<std::string> mimeTypes;  // as listed
};

// The folders searched, first wins: $XDG_DATA_HOME (default ~/.local/share), then each
// $XDG_DATA_DIRS folder (default /usr/local/share:/usr/share), each + "/thumbnailers".
std::vector<std::string> ThumbnailerFolders();

// Every usable *.thumbnailer of those folders: a file name seen in an earlier folder hides the
// later ones; entries without Exec or MimeType, or whose TryExec (or Exec's program) is not an
// executable, are left out. Earlier folders first, names in byte order within a folder.
std::vector<ThumbnailerEntry> DiscoverThumbnailers();

// The entry for `mimeType`: the first that lists it, else the first that lists its nearest
// parent type (aliases count as the type). nullptr when none does.
const ThumbnailerEntry* ChooseThumbnailer(const std::vector<ThumbnailerEntry>& entries, const std::string& mimeType);

// Exec split into arguments the way desktop entries quote them, %i, %u, %o, %s and %% replaced
// (other field codes dropped); never through a shell. Empty when the line is malformed.
std::vector<std::string> ExpandThumbnailerExec(const std::string& exec, const std::string& input,
                                               const std::string& inputUri, const std::string& output, int size);

// The picture an installed thumbnailer makes of the regular file `path`, fitted within
// size x size over `background`, 24 bits per pixel; nullopt when no thumbnailer takes its type
// or the one that does fails, crashes, hangs, writes nothing or writes anything but a PNG the
// confined decoder accepts. Safe to call from several threads at once.
std::optional<TBitmap> ThumbnailWithInstalledThumbnailer(const std::string& path, int size, TIOColorBGR background);

// The wall-clock limit for the next runs; tests shorten it. Values below 1 restore the default.
void SetThumbnailerTimeLimitMs(int milliseconds);
int ThumbnailerTimeLimitMs();
