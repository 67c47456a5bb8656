// The extraction chain; each step is tried only when the ones before gave nothing.
#include "thumbs/shell_thumbnail.h"

#include "thumbs/confined_decoder.h"
#include "thumbs/thumbnail_cache.h"
#include "thumbs/thumbnailers.h"

#include <sys/stat.h>

std::optional<TBitmap> LookupCachedThumbnail(const std::string& path, int size, TIOColorBGR background) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const std::string uri = GLibFileUri(AbsoluteFilePath(path));
    for (const std::string& candidate : ThumbnailCacheCandidates(uri, size)) {
        struct stat cached {};
        if (stat(candidate.c_str(), &cached) != 0 || !S_ISREG(cached.st_mode)) continue;
        if (auto picture = DecodeCachedThumbnailConfined(candidate, uri, static_cast<int64_t>(st.st_mtim.tv_sec),
                                                         static_cast<int64_t>(st.st_size), size, background)) {
            return picture;
        }
    }
    return std::nullopt;
}

std::optional<TBitmap> ExtractShellThumbnail(const std::string& path, int size, TIOColorBGR background) {
    // Only regular files are handed on; FIFOs, devices and sockets keep their icon pictures.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    if (auto cached = LookupCachedThumbnail(path, size, background)) return cached;
    if (auto decoded = DecodeFileConfined(path, size, background)) return decoded;
    // Types the built-in decoders do not read: an installed thumbnailer's picture.
    return ThumbnailWithInstalledThumbnailer(path, size, background);
}
