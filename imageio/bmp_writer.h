// The BMP writer: turns the image buffer into a Windows bitmap file (1, 4, 8, 24 or 32 bits per
// pixel, bottom row first, 12-, 40- or 64-byte header, optional run-length rows).
#pragma once

#include "imageio/bitmap.h"
#include "imageio/image_io.h"
#include "imageio/params.h"
#include "imageio/stream.h"

#include <cstdint>
#include <vector>

// Writes `bitmap` to `stream`, starting at the stream's position. The depth follows from the
// parameters (BitsPerSample, SamplesPerPixel) and from whether the buffer has an alpha channel;
// for 32-bit output `writeAlpha` takes the fourth byte from the alpha channel, else it is 255.
// For 1-, 4- and 8-bit output params.ColorMap and ColorMapCount are replaced by the palette
// written. A short write sets the progress record's abort flag and the writer stops after the
// current row, leaving the size and depth fields of the headers zero. Throws EIOError for an
// empty buffer, an unknown header kind or a picture too large for the format.
void WriteBmp(TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals& params, bool writeAlpha,
              TIOProgressRecord& progress);

// Pixels per metre stored in the header for a resolution in dots per inch, rounded half to even.
int32_t BmpPixelsPerMetre(int dotsPerInch);

// Appends the run-length encoding of one row of palette indices (one byte per pixel, 0..255 for
// RLE8, 0..15 for RLE4), ending with the end-of-line code 00 00.
void EncodeRle8Row(const uint8_t* indices, int width, std::vector<uint8_t>& out);
void EncodeRle4Row(const uint8_t* indices, int width, std::vector<uint8_t>& out);
