// TFileThumb: the thumbnail picture of one file at one size, from the file's own thumbnail or
// from its type's icon centred on a window-coloured square.
#pragma once

#include "imageio/platform_bitmap.h"

#include <string>

class TImageView;

class TFileThumb {
public:
    TFileThumb();
    ~TFileThumb();
    TFileThumb(const TFileThumb&) = delete;
    TFileThumb& operator=(const TFileThumb&) = delete;

    // Side of the square picture, clamped to 52..256; redraws when it changes.
    void SetSize(int requested);
    // The file whose picture is drawn (bytes of the path); redraws when it changes.
    void SetFileName(const std::string& path);

    int Size() const { return size_; }
    int IconSize() const { return iconSize_; }
    const std::string& FileName() const { return fileName_; }
    const TBitmap& Bitmap() const { return bitmap_; }

private:
    void Redraw();

    int imageList_ = 0;
    int size_ = 100;
    int iconSize_ = 48;
    TBitmap bitmap_;
    std::string fileName_;
};

// Makes the picture of `path` at `size` and copies it into the platform bitmap of the
// component's I/O object.
void ThumbnailToImage(const std::string& path, int size, TImageView& target);
