// Recognising the formats the worker decodes from the first bytes of a file, never from its
// name. Anything else is refused, whatever image plugins the machine has.
#pragma once

#include <cstddef>
#include <cstdint>

enum class SniffedFormat { Unknown, Jpeg, Png, Gif, Bmp, WebP, Tiff, Svg, SvgGzip, Pdf };

// How many leading bytes SniffFormat wants to see (fewer is fine for short files).
constexpr size_t kSniffBytes = 4096;

SniffedFormat SniffFormat(const uint8_t* head, size_t length);

// True when `text` (plain, not compressed) looks like an SVG document: markup from its first
// character on, with an <svg> element near the start.
bool LooksLikeSvg(const uint8_t* text, size_t length);

// The Qt image plugin key of a raster format ("png"), or nullptr.
const char* QtReaderFormat(SniffedFormat format);
