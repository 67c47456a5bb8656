// TRgbaImage: the straight-alpha pictures that icons are kept as between rendering and drawing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class QImage;

// A straight (not premultiplied) RGBA image: 4 bytes a pixel in the order R, G, B, A, rows of
// Width * 4 bytes, row 0 the top.
struct TRgbaImage {
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Pixels;

    size_t Stride() const { return static_cast<size_t>(Width) * 4; }
    const uint8_t* Pixel(int x, int y) const {
        return Pixels.data() + static_cast<size_t>(y) * Stride() + static_cast<size_t>(x) * 4;
    }
};

// A copy of any QImage as straight RGBA.
TRgbaImage ToRgbaImage(const QImage& image);
