// ThumbnailToPicture and the bitmap conversion it needs.
#include "app/thumbnail_to_picture.h"

#include "thumbs/file_thumb.h"

#include <QLabel>
#include <QPixmap>

QImage BitmapToImage(const TBitmap& bitmap) {
    QImage image(bitmap.Width(), bitmap.Height(), QImage::Format_RGB32);
    if (image.isNull()) return image;
    const int bits = bitmap.BitsPerPixel();
    for (int y = 0; y < bitmap.Height(); ++y) {
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        const uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x) {
            if (bits == 24 || bits == 32) {
                const uint8_t* p = row + static_cast<size_t>(x) * (bits / 8);   // B, G, R(, X)
                out[x] = qRgb(p[2], p[1], p[0]);
            } else {
                const TIOColorBGR c = bitmap.PixelColor(x, y);
                out[x] = qRgb(c.R, c.G, c.B);
            }
        }
    }
    return image;
}

void ThumbnailToPicture(const std::string& path, int size, QLabel& target) {
    // The maker lives for this one picture; its bitmap is copied out before it goes.
    TFileThumb thumb;
    thumb.SetSize(size);
    thumb.SetFileName(path);
    target.setPixmap(QPixmap::fromImage(BitmapToImage(thumb.Bitmap())));
}
