// TFileThumb: the thumbnail picture of one file at one size, from the file's own thumbnail or
// from its type's icon centred on a window-coloured square.
#pragma once

#include "imageio/platform_bitmap.h"

#include <cstdint>
#include <string>

class TImageView;

class TFileThumb {
public:
    // Chooses the icon list, Size 100, no file name, a 100 x 100 24-bit bitmap whose brush is
    // the window colour. Nothing is drawn.
    TFileThumb();
    ~TFileThumb();
    TFileThumb(const TFileThumb&) = delete;
    TFileThumb& operator=(const TFileThumb&) = delete;

    // Side of the square picture, clamped to 52..256; redraws when `requested` differs from Size.
    void SetSize(int requested);
    // The file whose picture is drawn (bytes of the path); redraws when it changes.
    void SetFileName(const std::string& path);

    int Size() const { return size_; }
    int IconSize() const { return iconSize_; }
    int32_t ImageList() const { return imageList_; }
    const std::string& FileName() const { return fileName_; }
    const TBitmap& Bitmap() const { return bitmap_; }

private:
    void Redraw();

    int32_t imageList_ = 0;
    int size_ = 100;
    int iconSize_ = 32;
    TBitmap bitmap_;
    std::string fileName_;
};

// Side of the picture for a requested size: 52..256.
int ClampThumbSize(int requested);

// Where the icon goes on both axes: (size div 2) - (iconSize div 2), both halvings rounding
// down; negative when the icon is larger than the picture.
int CentredIconOffset(int size, int iconSize);

// Makes the picture of `path` at `size` and copies it into the platform bitmap of the
// component's I/O object.
void ThumbnailToImage(const std::string& path, int size, TImageView& target);
