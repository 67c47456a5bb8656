// The PNG writer: the opacity mask taken from the alpha channel, and WritePngImage driving
// libpng with a stream write hook and an error hook that returns to us by longjmp.
#pragma once

#include "imageio/bitmap.h"
#include "imageio/image_io.h"
#include "imageio/params.h"
#include "imageio/stream.h"

#include <cstdint>
#include <vector>

// The text of every PNG library failure.
inline constexpr const char* kPngErrorText = "Error on creating PNG";

// Opacity of every pixel, one byte each (255 = opaque), rows from the top; Full says that every
// byte is known to be 255.
class TIOMask {
public:
    TIOMask(int width, int height);
    // A copy of an alpha buffer's bytes and of its full flag.
    static TIOMask FromAlphaChannel(TIOBitmap& alpha);

    int Width() const { return width_; }
    int Height() const { return height_; }
    uint8_t* ScanLine(int row) { return bytes_.data() + static_cast<size_t>(row) * static_cast<size_t>(width_); }
    const uint8_t* ScanLine(int row) const {
        return bytes_.data() + static_cast<size_t>(row) * static_cast<size_t>(width_);
    }
    bool Full = false;

private:
    int width_;
    int height_;
    std::vector<uint8_t> bytes_;
};

// Encodes the buffer as one PNG file into `stream`, with `mask` (or null) as its opacity.
// Library failures throw EInvalidGraphic "Error on creating PNG"; a stream that stops accepting
// bytes or an abort from the progress handler set the abort flag and return normally, leaving
// the file without IEND. May set params.BitsPerSample to 8 (grey or palette output at a depth
// PNG does not have).
void WritePngImage(TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals& params, const TIOMask* mask,
                   TIOProgressRecord& progress);

// The PNG entry of the writer table: the mask from the alpha channel, when the buffer has one,
// then WritePngImage.
void WritePngWithMask(TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals& params,
                      TIOProgressRecord& progress);

// pHYs value for a resolution in dots per inch: pixels per metre, rounded.
uint32_t PngPixelsPerMetre(int dpi);
// Luminance with weights 21, 71, 8 per cent, rounded to the nearest integer, halves to even.
int PngLuminance(TIOColorBGR colour);
