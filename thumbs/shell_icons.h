// The system image lists and file icons as the thumbnail maker asks for them: three lists of
// 16, 32 and 48 pixels, an icon index per file type given on first use, and the window colour.
// Thread safe.
#pragma once

#include "imageio/colors.h"
#include "imageio/platform_bitmap.h"
#include "thumbs/icon_theme.h"

#include <cstdint>
#include <string>

// An image list is named by a 32-bit handle value. The values are chosen so that
// 2 x small - large, the thumbnail maker's candidate, is the handle of the 48-pixel list.
using TImageListHandle = int32_t;
inline constexpr TImageListHandle kImageList16 = 0x51A0;
inline constexpr TImageListHandle kImageList32 = 0x5180;
inline constexpr TImageListHandle kImageList48 = 0x51C0;

inline constexpr uint32_t kFileAttributeNormal = 0x80;
inline constexpr uint32_t kShgfiSmallIcon = 0x1;
inline constexpr uint32_t kShgfiUseFileAttributes = 0x10;
inline constexpr uint32_t kShgfiSysIconIndex = 0x4000;

struct TShFileInfo {
    int IconIndex = -1;
};

// With kShgfiSysIconIndex: returns the large (32) or, with kShgfiSmallIcon, the small (16) list
// and puts the icon index of `path` into `info`. With kShgfiUseFileAttributes the type comes
// from the name alone and nothing is looked at; otherwise from the entry's name and content.
// Returns 0 (index -1) without kShgfiSysIconIndex or when the entry cannot be looked at.
TImageListHandle ShellGetFileInfo(const std::string& path, uint32_t attributes, TShFileInfo* info, uint32_t flags);

// Width and height of a list's icons; false for a value that names no list.
bool ImageListGetIconSize(TImageListHandle list, int* width, int* height);

// Blends icon `index` of `list` onto `target` with its top-left corner at (x, y), clipped at the
// edges; false when the list or the index is unknown. The icon comes from the icon theme at the
// list's size, or from the built-in set when no theme has one.
bool ImageListDraw(TImageListHandle list, int index, TBitmap& target, int x, int y);

// Replaces where icons are looked up (the environment's configuration is used until then) and
// forgets every icon rendered so far; indices keep their meaning.
void SetIconThemeConfig(const TIconThemeConfig& config);

// The background colour of windows: the application palette's base colour where a desktop theme
// is active, white otherwise (no GUI application, or an off-screen or minimal platform).
TIOColorBGR WindowColor();
