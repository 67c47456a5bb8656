// TFileThumb: icon list choice, size clamp, the icon picture and the shell thumbnail on top.
#include "thumbs/file_thumb.h"

#include "imageio/image_io.h"
#include "thumbs/shell_icons.h"
#include "thumbs/shell_thumbnail.h"

#include <algorithm>
#include <utility>

#include <sys/stat.h>

namespace {

constexpr int kMinThumbSize = 52;
constexpr int kMaxThumbSize = 256;

// Floor division: the halvings round down also for negative values.
int FloorHalf(int value) { return value >= 0 ? value / 2 : -((-value + 1) / 2); }

}  // namespace

int ClampThumbSize(int requested) { return std::clamp(requested, kMinThumbSize, kMaxThumbSize); }

int CentredIconOffset(int size, int iconSize) { return FloorHalf(size) - FloorHalf(iconSize); }

TFileThumb::TFileThumb() {
    // 1. and 2. The large and the small system list, asked for by a name alone.
    TShFileInfo info;
    const TImageListHandle large =
        ShellGetFileInfo("file.txt", kFileAttributeNormal, &info, kShgfiSysIconIndex | kShgfiUseFileAttributes);
    const TImageListHandle small = ShellGetFileInfo("file.txt", kFileAttributeNormal, &info,
                                                    kShgfiSysIconIndex | kShgfiUseFileAttributes | kShgfiSmallIcon);
    // 3. The candidate 2 x small - large, on the handle values as 32-bit integers; computed
    // unsigned so that any handle values wrap instead of overflowing.
    const auto candidate = static_cast<TImageListHandle>(2u * static_cast<uint32_t>(small) - static_cast<uint32_t>(large));
    // 4. and 5. The candidate when it is a list of 48-pixel icons, else the large list.
    int width = 0, height = 0;
    if (ImageListGetIconSize(candidate, &width, &height) && width == 48) {
        imageList_ = candidate;
        iconSize_ = 48;
    } else {
        imageList_ = large;
        iconSize_ = ImageListGetIconSize(large, &width, &height) ? width : 32;
    }
    size_ = 100;
    bitmap_.BrushColor = WindowColor();
    bitmap_.SetSize(100, 100);
    bitmap_.SetBitsPerPixel(24);
}

TFileThumb::~TFileThumb() = default;

void TFileThumb::SetSize(int requested) {
    if (requested == size_) return;
    size_ = ClampThumbSize(requested);
    bitmap_.SetSize(size_, size_);
    Redraw();
}

void TFileThumb::SetFileName(const std::string& path) {
    if (path == fileName_) return;
    fileName_ = path;
    Redraw();
}

void TFileThumb::Redraw() {
    // 1. The side as held.
    bitmap_.SetSize(size_, size_);

    // 2. No name, nothing there, or a folder: the framed square.
    struct stat st {};
    if (fileName_.empty() || stat(fileName_.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        bitmap_.Rectangle(0, 0, size_, size_);
        return;
    }

    // 3. The background; the outline lies outside the picture, so no frame shows. (The layer
    // takes the whole path, so it is not split into folder and name.)
    bitmap_.Rectangle(-1, -1, size_ + 3, size_ + 3);

    // 4. The type's icon, centred.
    TShFileInfo info;
    ShellGetFileInfo(fileName_, kFileAttributeNormal, &info, kShgfiSysIconIndex);
    const int offset = CentredIconOffset(size_, iconSize_);
    ImageListDraw(imageList_, info.IconIndex, bitmap_, offset, offset);

    // 5. The file's own thumbnail replaces the icon picture when there is one. The canvas state
    // belongs to the maker's bitmap object and survives the new pixels.
    if (auto thumbnail = ExtractShellThumbnail(fileName_, size_, bitmap_.BrushColor)) {
        const TIOColorBGR brush = bitmap_.BrushColor;
        const TIOColorBGR pen = bitmap_.PenColor;
        bitmap_ = std::move(*thumbnail);
        bitmap_.BrushColor = brush;
        bitmap_.PenColor = pen;
    }
}

void ThumbnailToImage(const std::string& path, int size, TImageView& target) {
    TFileThumb thumb;
    thumb.SetSize(size);
    thumb.SetFileName(path);
    TBitmap* bitmap = target.GetIO()->GetBitmap();
    if (bitmap != nullptr) *bitmap = thumb.Bitmap();
}
