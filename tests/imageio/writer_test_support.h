// Helpers shared by the JPEG and PNG writer tests: buffers painted in code and a progress
// handler that records what it was told.
#pragma once

#include "imageio/bitmap.h"
#include "imageio/image_io.h"

#include <functional>
#include <memory>
#include <vector>

namespace writer_test {

using PaintFn = std::function<TIOColorBGR(int x, int y)>;

// A memory buffer of the given format with every pixel painted by `paint` (grey formats take
// the colour's red byte; io1g sets the bit for a non-black colour).
inline std::unique_ptr<TIOBitmap> MakeBuffer(int width, int height, TIOPixelFormatId format, const PaintFn& paint) {
    auto b = std::make_unique<TIOBitmap>();
    b->SetLocation(ioMemory);
    if (!b->Allocate(width, height, format)) return b;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b->ScanLine(y);
        for (int x = 0; x < width; ++x) {
            const TIOColorBGR c = paint(x, y);
            switch (format) {
                case io24RGB:
                    row[x * 3] = c.B, row[x * 3 + 1] = c.G, row[x * 3 + 2] = c.R;
                    break;
                case io32RGB:
                    row[x * 4] = c.B, row[x * 4 + 1] = c.G, row[x * 4 + 2] = c.R, row[x * 4 + 3] = 0x5A;
                    break;
                case io8g:
                    row[x] = c.R;
                    break;
                case io1g:
                    if (x % 8 == 0) row[x / 8] = 0;
                    if (c.R != 0 || c.G != 0 || c.B != 0) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
                    break;
                default:
                    break;
            }
        }
    }
    return b;
}

inline TIOColorBGR Gradient(int x, int y) {
    return RGBColor(static_cast<uint8_t>(x * 7), static_cast<uint8_t>(y * 5), static_cast<uint8_t>((x + y) * 3));
}

// Deterministic noise: compresses badly, so JPEG output spans several 64 KiB blocks.
inline TIOColorBGR Noise(int x, int y) {
    uint32_t h = static_cast<uint32_t>(x) * 2654435761u ^ static_cast<uint32_t>(y) * 2246822519u;
    h ^= h >> 15;
    h *= 2654435761u;
    h ^= h >> 13;
    return TIOColorBGR{static_cast<uint8_t>(h), static_cast<uint8_t>(h >> 8), static_cast<uint8_t>(h >> 16)};
}

// An I/O object used only as the progress handler: it records every percentage and can set its
// abort byte once a given percentage is reached.
class RecordingIO : public TImageIO {
public:
    void DoProgress(void*, int percent) override {
        percents.push_back(percent);
        if (abortAt >= 0 && percent >= abortAt) AbortRequested = 1;
    }
    TIOProgressRecord Record(bool withHandler = true) {
        TIOProgressRecord r;
        r.Handler = withHandler ? this : nullptr;
        r.Sender = this;
        r.AbortFlag = &AbortRequested;
        return r;
    }
    std::vector<int> percents;
    int abortAt = -1;
};

}  // namespace writer_test
