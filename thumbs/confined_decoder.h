// Decoding of untrusted files in confined worker processes. The calling process never parses
// file content itself; it hands a descriptor to a worker and gets back a finished picture.
#pragma once

#include "imageio/colors.h"
#include "imageio/platform_bitmap.h"

#include <cstdint>
#include <optional>
#include <string>

// Each file gets this long in a worker before the worker is killed and replaced.
constexpr int kConfinedDecodeTimeLimitMs = 5000;

// The picture of `path` fitted within size x size (aspect kept; raster images never enlarged,
// SVG and PDF pages drawn to fill the box), transparent areas over `background`, 24 bits per
// pixel; nullopt when the file is not a regular file, is not of a decoded format (JPEG, PNG,
// GIF, BMP, WebP, TIFF, SVG, PDF, told by content), or its decoding fails, crashes, hangs or
// exceeds a limit. `size` is 1..1024. Safe to call from several threads at once.
std::optional<TBitmap> DecodeFileConfined(const std::string& path, int size, TIOColorBGR background);

// A cached PNG thumbnail, decoded only when its Thumb::URI equals `uri`, its Thumb::MTime equals
// `mtime` and, when present, its Thumb::Size equals `fileSize`; otherwise nullopt.
std::optional<TBitmap> DecodeCachedThumbnailConfined(const std::string& cachePath, const std::string& uri,
                                                     int64_t mtime, int64_t fileSize, int size,
                                                     TIOColorBGR background);

// How the decoding workers are confined on this machine: "bubblewrap", "landlock", "limits"
// (resource limits only), or "unavailable" when no worker can be started. Starts a worker when
// none ran yet.
std::string ConfinedDecoderSandbox();
