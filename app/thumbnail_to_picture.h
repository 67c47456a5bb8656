// The preview's picture: the thumbnail maker's bitmap shown in an image control.
#pragma once

#include <QImage>

#include <string>

class QLabel;
class TBitmap;

// The bitmap as a Qt image (RGB32), whatever its depth; 1- and 8-bit pictures go through their
// colour table.
QImage BitmapToImage(const TBitmap& bitmap);

// Makes the picture of `path` (the path's bytes) at `size` with a short-lived TFileThumb and shows
// a copy of it in `target`.
void ThumbnailToPicture(const std::string& path, int size, QLabel& target);
