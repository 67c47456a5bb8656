// A thumbnail-sized picture made in code for the benchmarks: smooth gradients with a little
// noise, as a photo thumbnail has, so it holds far more than 256 colours.
#pragma once

#include "imageio/bitmap.h"

#include <algorithm>
#include <cstdint>
#include <memory>

inline std::unique_ptr<TIOBitmap> PhotoLikePicture(int side) {
    auto picture = std::make_unique<TIOBitmap>();
    picture->SetLocation(ioMemory);
    picture->Allocate(side, side, io24RGB);
    uint32_t seed = 1;
    for (int y = 0; y < side; ++y) {
        uint8_t* row = picture->ScanLine(y);
        for (int x = 0; x < side; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = static_cast<int>(seed >> 28) - 8;
            row[x * 3] = static_cast<uint8_t>(std::clamp(x * 255 / side + noise, 0, 255));
            row[x * 3 + 1] = static_cast<uint8_t>(std::clamp(y * 255 / side + noise, 0, 255));
            row[x * 3 + 2] = static_cast<uint8_t>(std::clamp((x + y) * 127 / side - noise, 0, 255));
        }
    }
    return picture;
}
