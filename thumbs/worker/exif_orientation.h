// The orientation tag of an EXIF block, read with every offset checked: the block comes from
// an untrusted file.
#pragma once

#include <cstddef>
#include <cstdint>

// `app1` is the payload of a JPEG APP1 segment ("Exif\0\0" then a TIFF structure). Returns the
// orientation 1..8, or 1 (as stored) when the block has none or is malformed.
int ExifOrientation(const uint8_t* app1, size_t length);
