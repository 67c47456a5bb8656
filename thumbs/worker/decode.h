// One input, from descriptor to finished thumbnail pixels: sniffing, the decoder of its format,
// fitting, orientation, colour space and compositing.
#pragma once

#include <QByteArray>
#include <QImage>
#include <cstdint>
#include <optional>
#include <vector>

struct WorkerLimits {
    uint64_t memoryBudget = uint64_t{256} << 20;  // bytes one decoded picture may take
    int maxJpegScans = 500;                        // progressive scans before a JPEG is refused
    qsizetype maxSvgBytes = qsizetype{16} << 20;   // SVG text, compressed or not
};

struct FinishedPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgr;  // rows from the top, B, G, R, no padding
};

struct Background {
    uint8_t b = 255, g = 255, r = 255;
};

// Call once in the worker before decoding anything: sets Qt's reader limits.
void ApplyDecoderLimits(const WorkerLimits& limits);

// The thumbnail of the file open on `fd`, fitted within side x side; nullopt when its content
// is not a format on the allow-list or cannot be decoded within the limits.
std::optional<FinishedPicture> DecodeInput(int fd, int side, Background background, const WorkerLimits& limits);

// A cached PNG thumbnail, only when its Thumb::URI, Thumb::MTime and (when it has one)
// Thumb::Size name the file the caller is looking at.
std::optional<FinishedPicture> DecodeCachedThumbnail(int fd, const QByteArray& uri, int64_t mtime,
                                                     int64_t fileSize, int side, Background background,
                                                     const WorkerLimits& limits);

// Fits a decoded raster within side x side (area-averaging shrink, never enlarged), applies an
// EXIF orientation (1..8), converts a colour space the image carries to sRGB and composites
// transparency over the background.
FinishedPicture FinishPicture(QImage image, int orientation, int side, Background background);

// True when a PNG (read through `fd`) embeds an ICC profile: an iCCP chunk before its pixels.
bool PngHasIccProfile(int fd);
