// TBitmap: the small device-independent bitmap that stands in for the platform's bitmap type.
// 1, 8, 24 or 32 bits per pixel, rows padded to 4 bytes, row 0 the top row, a colour table,
// and the few canvas operations the thumbnail maker needs.
#pragma once

#include "imageio/colors.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class TBitmap {
public:
    TBitmap() = default;
    TBitmap(const TBitmap& other) { Assign(other); }
    TBitmap& operator=(const TBitmap& other) {
        if (this != &other) Assign(other);
        return *this;
    }
    TBitmap(TBitmap&&) noexcept = default;
    TBitmap& operator=(TBitmap&&) noexcept = default;

    int Width() const { return width_; }
    int Height() const { return height_; }
    // 1, 8, 24 or 32.
    int BitsPerPixel() const { return bitsPerPixel_; }
    // Bytes of one row, padded to a multiple of 4.
    int RowStride() const { return RowStrideFor(width_, bitsPerPixel_); }
    static int RowStrideFor(int width, int bitsPerPixel);

    // Resizes; pixels inside both the old and the new size are kept, new ones are zero.
    // Throws std::bad_alloc (or std::length_error for absurd sizes) when memory cannot be had.
    void SetSize(int width, int height);
    // Changes the depth, converting the pixels: 1 bit expands to black and white, 32 to 24
    // drops the fourth byte, 24 to 32 adds 255, 24 or 32 to 8 gives grey levels with a grey
    // ramp table, 24 or 32 to 1 thresholds the luminance. Unsupported depths throw.
    void SetBitsPerPixel(int bitsPerPixel);
    // The platform's assignment: takes the other bitmap's size, depth, table and pixels into
    // new pixel memory of its own.
    void Assign(const TBitmap& other);

    uint8_t* ScanLine(int row) { return pixels_.get() + static_cast<size_t>(row) * RowStride(); }
    const uint8_t* ScanLine(int row) const { return pixels_.get() + static_cast<size_t>(row) * RowStride(); }
    // Address of the first pixel byte; changes whenever the bitmap gets new pixel memory.
    const uint8_t* Bits() const { return pixels_.get(); }

    // Colour table of a 1- or 8-bit bitmap (empty for 24 and 32 bits).
    std::vector<TIOColorBGR>& ColorTable() { return colorTable_; }
    const std::vector<TIOColorBGR>& ColorTable() const { return colorTable_; }

    // Canvas state: the brush fills, the pen draws outlines (solid, 1 pixel).
    TIOColorBGR BrushColor = RGBColor(255, 255, 255);
    TIOColorBGR PenColor = RGBColor(0, 0, 0);

    // The canvas rectangle: outline with the pen on the edges of [x1, x2) x [y1, y2), the inside
    // filled with the brush, all clipped to the bitmap. 24- and 32-bit bitmaps only.
    void Rectangle(int x1, int y1, int x2, int y2);
    // Fills [x1, x2) x [y1, y2), clipped, with a colour. 24- and 32-bit bitmaps only.
    void FillRect(int x1, int y1, int x2, int y2, TIOColorBGR colour);
    // Blends a straight-alpha RGBA image (4 bytes a pixel: R, G, B, A) with its top-left corner
    // at (x, y), clipped at the bitmap's edges. 24- and 32-bit bitmaps only.
    void DrawRGBA(int x, int y, int width, int height, const uint8_t* rgba, size_t stride);

    // Colour of one pixel, whatever the depth (palette looked up; 1 bit without table is
    // black and white).
    TIOColorBGR PixelColor(int x, int y) const;

private:
    int width_ = 0;
    int height_ = 0;
    int bitsPerPixel_ = 24;
    std::unique_ptr<uint8_t[]> pixels_;
    std::vector<TIOColorBGR> colorTable_;
};
