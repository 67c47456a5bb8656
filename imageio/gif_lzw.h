// The GIF LZW encoder: index rows in, table-based image data out (minimum code size, data
// sub-blocks, terminator).
#pragma once

#include "imageio/params.h"

#include <cstdint>

class TIOStream;

// Compresses `width` x `height` indices (rows from the top, no padding) with codes of at most
// 12 bits. Interlaced pictures are read in the four-pass row order. Indices must be below
// 2^max(bitsPerPixel, 2). Writes are not checked here: the caller's later checked writes see a
// failed stream.
void GifLzwCompress(TIOStream& stream, int height, int width, bool interlaced, const uint8_t* indices,
                    int bitsPerPixel);
