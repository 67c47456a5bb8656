// Size arithmetic of the worker: fitting a picture in its square, the JPEG DCT scale, the
// memory a decode may take. Pure functions, kept apart from I/O so tests reach them directly.
#pragma once

#include <algorithm>
#include <cstdint>

struct PictureSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const PictureSize&, const PictureSize&) = default;
};

// Raster pictures keep their size when they already fit in side x side; larger ones shrink so
// that the longer edge is `side`, the shorter edge rounded to nearest and at least 1.
// The box is square, so fitting before or after a quarter turn gives the same result.
constexpr PictureSize FitWithin(int width, int height, int side) {
    if (width <= 0 || height <= 0 || side <= 0) return {0, 0};
    if (width <= side && height <= side) return {width, height};
    return width >= height
               ? PictureSize{side, static_cast<int>(std::max<int64_t>(
                                       1, (int64_t{height} * side * 2 + width) / (int64_t{width} * 2)))}
               : PictureSize{static_cast<int>(std::max<int64_t>(
                                 1, (int64_t{width} * side * 2 + height) / (int64_t{height} * 2))),
                             side};
}

// Vector documents have no pixels of their own: they are drawn to fill the box, larger or
// smaller than their nominal size, with the aspect ratio kept.
inline PictureSize FitVector(double width, double height, int side) {
    if (!(width > 0) || !(height > 0) || side <= 0) return {0, 0};
    const double scale = side / std::max(width, height);
    auto edge = [&](double length) {
        return static_cast<int>(std::clamp(length * scale + 0.5, 1.0, static_cast<double>(side)));
    };
    return {edge(width), edge(height)};
}

// Size libjpeg gives for scale num/8: each edge rounded up.
constexpr int JpegScaledEdge(int edge, int num) {
    return static_cast<int>((int64_t{edge} * num + 7) / 8);
}

// The smallest DCT scale num/8 (1..8) whose output still covers the fitted size, so the final
// area-averaging step only ever shrinks.
constexpr int JpegScaleNumerator(int width, int height, int side) {
    const PictureSize target = FitWithin(width, height, side);
    for (int num = 1; num < 8; ++num) {
        if (JpegScaledEdge(width, num) >= target.width && JpegScaledEdge(height, num) >= target.height)
            return num;
    }
    return 8;
}

// Bytes of a 32-bit picture of this size, or a value above any budget when the product does
// not fit.
constexpr uint64_t PictureBytes(int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    return uint64_t(width) * uint64_t(height) * 4;
}
