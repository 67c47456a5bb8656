// The file's own thumbnail, as the shell layer finds it: first the desktop's thumbnail cache,
// then decoding in a confined worker, then an installed thumbnailer.
#pragma once

#include "imageio/colors.h"
#include "imageio/platform_bitmap.h"

#include <optional>
#include <string>

// The thumbnail of the regular file `path` fitted within size x size (24 bits per pixel,
// transparency over `background`); nullopt for anything else or when no step gives one.
// Thread safe.
std::optional<TBitmap> ExtractShellThumbnail(const std::string& path, int size, TIOColorBGR background);

// The first cache candidate that exists and is valid for the regular file `path` (its
// Thumb::URI, Thumb::MTime and, when present, Thumb::Size match), decoded in a confined worker
// and fitted within size x size; nullopt when there is none. The cache is never written.
std::optional<TBitmap> LookupCachedThumbnail(const std::string& path, int size, TIOColorBGR background);
