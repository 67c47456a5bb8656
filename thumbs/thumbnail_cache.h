// The freedesktop thumbnail cache, read only: the file's URI as GLib writes it and the MD5 names
// of the cached PNGs, smallest size first.
#pragma once

#include <string>
#include <vector>

// `path` made absolute against the working folder, with ".", ".." and repeated "/" removed the
// way GLib canonicalises a file name; symbolic links are kept.
std::string AbsoluteFilePath(const std::string& path);

// "file://" and the absolute path escaped as GLib escapes file URIs: bytes outside printable
// ASCII and every character but letters, digits and !$&'()*+,-./:=@_~ become %XX (upper case).
// Unlike QUrl this escapes ";", "[" and "]", so names match the desktop's own cache entries.
std::string GLibFileUri(const std::string& absolutePath);

// $XDG_CACHE_HOME/thumbnails, or ~/.cache/thumbnails when that is unset or not absolute.
std::string ThumbnailCacheDir();

// The cache files that may hold a thumbnail of `uri` at least `size` pixels large, smallest
// first: normal (128), large (256), x-large (512), xx-large (1024).
std::vector<std::string> ThumbnailCacheCandidates(const std::string& uri, int size);
