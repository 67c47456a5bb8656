// JPEG through libjpeg-turbo at the smallest DCT scale that still covers the thumbnail, so a
// large photo is never decoded at full size.
#pragma once

#include <QImage>
#include <cstdint>
#include <optional>

struct JpegPicture {
    QImage image;         // RGB32, at the reduced scale, as stored (orientation not applied)
    int orientation = 1;  // EXIF orientation 1..8
};

// Decodes the JPEG read from `fd` (from its start) for a side x side thumbnail.
// Refused (nullopt) when the file is broken beyond a picture, when the decoder would need more
// than `memoryBudget` bytes, or when it has more than `maxScans` progressive scans.
std::optional<JpegPicture> DecodeJpeg(int fd, int side, uint64_t memoryBudget, int maxScans);
