// Conversion of Qt images into the straight-alpha form the bitmap's icon drawing takes.
#include "thumbs/rgba_image.h"

#include <QImage>

#include <algorithm>

TRgbaImage ToRgbaImage(const QImage& image) {
    const QImage straight = image.convertToFormat(QImage::Format_RGBA8888);
    TRgbaImage result;
    result.Width = straight.width();
    result.Height = straight.height();
    result.Pixels.resize(result.Stride() * static_cast<size_t>(result.Height));
    for (int y = 0; y < result.Height; ++y) {
        std::copy_n(straight.constScanLine(y), result.Stride(), result.Pixels.data() + y * result.Stride());
    }
    return result;
}
