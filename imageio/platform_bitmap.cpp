// The platform bitmap: storage, depth changes and the canvas operations.
#include "imageio/platform_bitmap.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace {

bool SupportedDepth(int bitsPerPixel) {
    return bitsPerPixel == 1 || bitsPerPixel == 8 || bitsPerPixel == 24 || bitsPerPixel == 32;
}

// Integer luminance, 0..255, with the usual weights of 0.299, 0.587 and 0.114.
uint8_t Luminance(const TIOColorBGR& c) {
    return static_cast<uint8_t>((c.R * 299 + c.G * 587 + c.B * 114 + 500) / 1000);
}

std::unique_ptr<uint8_t[]> NewPixels(int width, int height, int bitsPerPixel) {
    const uint64_t bytes = static_cast<uint64_t>(TBitmap::RowStrideFor(width, bitsPerPixel)) * static_cast<uint64_t>(height);
    if (bytes > std::numeric_limits<size_t>::max() / 2) throw std::length_error("bitmap too large");
    return std::unique_ptr<uint8_t[]>(new uint8_t[bytes ? bytes : 1]());
}

std::vector<TIOColorBGR> GreyRamp() {
    std::vector<TIOColorBGR> ramp(256);
    for (int i = 0; i < 256; ++i) ramp[static_cast<size_t>(i)] = TIOColorBGR{uint8_t(i), uint8_t(i), uint8_t(i)};
    return ramp;
}

}  // namespace

int TBitmap::RowStrideFor(int width, int bitsPerPixel) {
    return static_cast<int>(((static_cast<int64_t>(width) * bitsPerPixel + 31) / 32) * 4);
}

void TBitmap::SetSize(int width, int height) {
    if (width < 0 || height < 0) throw std::invalid_argument("negative bitmap size");
    if (width == width_ && height == height_ && pixels_) return;
    auto pixels = NewPixels(width, height, bitsPerPixel_);
    const int oldStride = RowStride();
    const int newStride = RowStrideFor(width, bitsPerPixel_);
    const int keepRows = std::min(height, height_);
    const int keepBytes = std::min(oldStride, newStride);
    for (int y = 0; y < keepRows && pixels_; ++y)
        std::memcpy(pixels.get() + static_cast<size_t>(y) * newStride, pixels_.get() + static_cast<size_t>(y) * oldStride, static_cast<size_t>(keepBytes));
    pixels_ = std::move(pixels);
    width_ = width;
    height_ = height;
}

TIOColorBGR TBitmap::PixelColor(int x, int y) const {
    const uint8_t* row = ScanLine(y);
    switch (bitsPerPixel_) {
    case 1: {
        const int bit = (row[x / 8] >> (7 - x % 8)) & 1;
        if (static_cast<size_t>(bit) < colorTable_.size()) return colorTable_[static_cast<size_t>(bit)];
        return bit ? RGBColor(255, 255, 255) : RGBColor(0, 0, 0);
    }
    case 8: {
        const uint8_t index = row[x];
        if (index < colorTable_.size()) return colorTable_[index];
        return TIOColorBGR{index, index, index};
    }
    case 24: return TIOColorBGR{row[x * 3], row[x * 3 + 1], row[x * 3 + 2]};
    default: return TIOColorBGR{row[x * 4], row[x * 4 + 1], row[x * 4 + 2]};
    }
}

void TBitmap::SetBitsPerPixel(int bitsPerPixel) {
    if (!SupportedDepth(bitsPerPixel)) throw std::invalid_argument("unsupported bitmap depth");
    if (bitsPerPixel == bitsPerPixel_ && pixels_) return;
    auto pixels = NewPixels(width_, height_, bitsPerPixel);
    const int stride = RowStrideFor(width_, bitsPerPixel);
    std::vector<TIOColorBGR> table;
    if (bitsPerPixel == 8) table = GreyRamp();
    if (bitsPerPixel == 1) table = {RGBColor(0, 0, 0), RGBColor(255, 255, 255)};
    for (int y = 0; y < height_ && pixels_; ++y) {
        uint8_t* out = pixels.get() + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width_; ++x) {
            const TIOColorBGR c = PixelColor(x, y);
            switch (bitsPerPixel) {
            case 1:
                if (Luminance(c) >= 128) out[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
                break;
            case 8: out[x] = Luminance(c); break;
            case 24:
                out[x * 3] = c.B; out[x * 3 + 1] = c.G; out[x * 3 + 2] = c.R;
                break;
            default: {
                // Keep the fourth byte of a 32-bit source; other depths get 255.
                const uint8_t fourth = bitsPerPixel_ == 32 ? ScanLine(y)[x * 4 + 3] : 255;
                out[x * 4] = c.B; out[x * 4 + 1] = c.G; out[x * 4 + 2] = c.R; out[x * 4 + 3] = fourth;
            }
            }
        }
    }
    pixels_ = std::move(pixels);
    bitsPerPixel_ = bitsPerPixel;
    colorTable_ = std::move(table);
}

void TBitmap::Assign(const TBitmap& other) {
    auto pixels = NewPixels(other.width_, other.height_, other.bitsPerPixel_);
    if (other.pixels_)
        std::memcpy(pixels.get(), other.pixels_.get(), static_cast<size_t>(other.RowStride()) * static_cast<size_t>(other.height_));
    pixels_ = std::move(pixels);
    width_ = other.width_;
    height_ = other.height_;
    bitsPerPixel_ = other.bitsPerPixel_;
    colorTable_ = other.colorTable_;
    BrushColor = other.BrushColor;
    PenColor = other.PenColor;
}

void TBitmap::FillRect(int x1, int y1, int x2, int y2, TIOColorBGR colour) {
    if (bitsPerPixel_ != 24 && bitsPerPixel_ != 32) throw std::logic_error("FillRect needs 24 or 32 bits");
    x1 = std::max(x1, 0); y1 = std::max(y1, 0);
    x2 = std::min(x2, width_); y2 = std::min(y2, height_);
    const int bytes = bitsPerPixel_ / 8;
    for (int y = y1; y < y2; ++y) {
        uint8_t* p = ScanLine(y) + static_cast<ptrdiff_t>(x1) * bytes;
        for (int x = x1; x < x2; ++x, p += bytes) {
            p[0] = colour.B; p[1] = colour.G; p[2] = colour.R;
            if (bytes == 4) p[3] = 255;
        }
    }
}

void TBitmap::Rectangle(int x1, int y1, int x2, int y2) {
    if (x2 <= x1 || y2 <= y1) return;
    FillRect(x1, y1, x2, y2, PenColor);
    FillRect(x1 + 1, y1 + 1, x2 - 1, y2 - 1, BrushColor);
}

void TBitmap::DrawRGBA(int x, int y, int width, int height, const uint8_t* rgba, size_t stride) {
    if (bitsPerPixel_ != 24 && bitsPerPixel_ != 32) throw std::logic_error("DrawRGBA needs 24 or 32 bits");
    const int bytes = bitsPerPixel_ / 8;
    const int sx0 = std::max(0, -x), sy0 = std::max(0, -y);
    const int sx1 = std::min(width, width_ - x), sy1 = std::min(height, height_ - y);
    for (int sy = sy0; sy < sy1; ++sy) {
        const uint8_t* s = rgba + static_cast<size_t>(sy) * stride + static_cast<size_t>(sx0) * 4;
        uint8_t* d = ScanLine(y + sy) + static_cast<ptrdiff_t>(x + sx0) * bytes;
        for (int sx = sx0; sx < sx1; ++sx, s += 4, d += bytes) {
            const unsigned a = s[3];
            // Straight alpha over an opaque destination, rounded to nearest.
            d[0] = static_cast<uint8_t>((s[2] * a + d[0] * (255 - a) + 127) / 255);
            d[1] = static_cast<uint8_t>((s[1] * a + d[1] * (255 - a) + 127) / 255);
            d[2] = static_cast<uint8_t>((s[0] * a + d[2] * (255 - a) + 127) / 255);
        }
    }
}
