// The GIF writer: one image, its colour table from the quantizer (or black and white for one bit
// per pixel), LZW data from the parameters' encoder, a comment extension and the trailer.
#pragma once

#include "imageio/bitmap.h"
#include "imageio/image_io.h"
#include "imageio/params.h"
#include "imageio/stream.h"

#include <cstdint>
#include <optional>
#include <vector>

// Writes `picture` as a GIF at the stream's position. An abort (before the start, or seen at the
// 30% and 70% points) or a missing encoder ends it normally; a short write of the writer's own
// bytes sets the abort byte. Sets GifTransparent when the picture has an alpha channel.
void WriteGifImage(TIOStream& stream, TIOBitmap& picture, TIOParamsVals& params, TIOProgressRecord& progress);

// The two-colour reduction for one-bit output: one index (0 or 1) per pixel, the darker colour 0.
// Empty when the picture does not have exactly two colours (or a format it cannot read).
std::optional<std::vector<uint8_t>> TwoColourIndices(TIOBitmap& picture);

// The luminance (21 R + 71 G + 8 B) / 100, rounded to nearest with halves to even.
int TwoColourLuminance(TIOColorBGR colour);
