// The image lists: one index table of file types shared by the three lists, and per list the
// icons rendered at its size on first use. One mutex guards the tables; rendering happens
// outside it, so a slow SVG holds up no other thread.
#include "thumbs/shell_icons.h"

#include "thumbs/builtin_icons.h"
#include "thumbs/file_types.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPalette>
#include <QThread>

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace {

constexpr std::array<TImageListHandle, 3> kLists = {kImageList16, kImageList32, kImageList48};
constexpr std::array<int, 3> kListSizes = {16, 32, 48};

int ListSlot(TImageListHandle list) {
    for (size_t i = 0; i < kLists.size(); ++i) {
        if (kLists[i] == list) return static_cast<int>(i);
    }
    return -1;
}

struct ShellIconState {
    std::mutex mutex;
    std::map<std::string, int> indexOfType;
    std::vector<std::string> typeOfIndex;
    std::array<std::vector<std::shared_ptr<const TRgbaImage>>, 3> rendered;
    std::optional<TIconThemeConfig> config;
    std::shared_ptr<const TIconTheme> theme;
    // Bumped when the configuration changes, so a render begun before is not stored after.
    uint64_t generation = 0;
    // The last colour read on the GUI thread, for callers on other threads.
    std::optional<TIOColorBGR> windowColour;
};

ShellIconState& State() {
    static ShellIconState state;
    return state;
}

// Under the state's lock.
int IndexOfType(ShellIconState& state, const std::string& mimeType) {
    const auto it = state.indexOfType.find(mimeType);
    if (it != state.indexOfType.end()) return it->second;
    const int index = static_cast<int>(state.typeOfIndex.size());
    state.indexOfType.emplace(mimeType, index);
    state.typeOfIndex.push_back(mimeType);
    return index;
}

// Under the state's lock; the theme is built on first use from the environment.
std::shared_ptr<const TIconTheme> Theme(ShellIconState& state) {
    if (!state.theme) {
        if (!state.config) state.config = IconThemeConfigFromEnvironment();
        state.theme = std::make_shared<const TIconTheme>(*state.config);
    }
    return state.theme;
}

TRgbaImage RenderTypeIcon(const TIconTheme& theme, const std::string& mimeType, int size) {
    if (const auto path = theme.FindIcon(IconNamesForMimeType(mimeType), size)) {
        if (auto image = RenderIconFile(*path, size)) return std::move(*image);
    }
    return BuiltInIcon(BuiltInKindForMimeType(mimeType), size);
}

}  // namespace

TImageListHandle ShellGetFileInfo(const std::string& path, uint32_t /*attributes*/, TShFileInfo* info, uint32_t flags) {
    if (info != nullptr) info->IconIndex = -1;
    if ((flags & kShgfiSysIconIndex) == 0) return 0;
    std::string mimeType;
    if ((flags & kShgfiUseFileAttributes) != 0) {
        mimeType = MimeTypeOfName(path);
    } else {
        if (path.empty()) return 0;
        mimeType = MimeTypeOfFile(path);
    }
    ShellIconState& state = State();
    const std::lock_guard lock(state.mutex);
    if (info != nullptr) info->IconIndex = IndexOfType(state, mimeType);
    return (flags & kShgfiSmallIcon) != 0 ? kImageList16 : kImageList32;
}

bool ImageListGetIconSize(TImageListHandle list, int* width, int* height) {
    const int slot = ListSlot(list);
    if (slot < 0) return false;
    if (width != nullptr) *width = kListSizes[static_cast<size_t>(slot)];
    if (height != nullptr) *height = kListSizes[static_cast<size_t>(slot)];
    return true;
}

bool ImageListDraw(TImageListHandle list, int index, TBitmap& target, int x, int y) {
    const int slot = ListSlot(list);
    if (slot < 0 || index < 0) return false;
    ShellIconState& state = State();
    auto& rendered = state.rendered[static_cast<size_t>(slot)];

    std::shared_ptr<const TRgbaImage> icon;
    std::shared_ptr<const TIconTheme> theme;
    std::string mimeType;
    uint64_t generation = 0;
    {
        const std::lock_guard lock(state.mutex);
        if (static_cast<size_t>(index) >= state.typeOfIndex.size()) return false;
        if (static_cast<size_t>(index) < rendered.size()) icon = rendered[static_cast<size_t>(index)];
        if (!icon) {
            theme = Theme(state);
            mimeType = state.typeOfIndex[static_cast<size_t>(index)];
            generation = state.generation;
        }
    }
    if (!icon) {
        icon = std::make_shared<const TRgbaImage>(RenderTypeIcon(*theme, mimeType, kListSizes[static_cast<size_t>(slot)]));
        const std::lock_guard lock(state.mutex);
        if (state.generation == generation) {
            if (rendered.size() <= static_cast<size_t>(index)) rendered.resize(static_cast<size_t>(index) + 1);
            if (!rendered[static_cast<size_t>(index)]) rendered[static_cast<size_t>(index)] = icon;
        }
    }
    if (icon->Width > 0 && icon->Height > 0) target.DrawRGBA(x, y, icon->Width, icon->Height, icon->Pixels.data(), icon->Stride());
    return true;
}

void SetIconThemeConfig(const TIconThemeConfig& config) {
    ShellIconState& state = State();
    const std::lock_guard lock(state.mutex);
    state.config = config;
    state.theme.reset();
    for (auto& list : state.rendered) list.clear();
    ++state.generation;
}

TIOColorBGR WindowColor() {
    const TIOColorBGR white = RGBColor(255, 255, 255);
    const auto* app = qobject_cast<const QGuiApplication*>(QCoreApplication::instance());
    if (app == nullptr) return white;
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform.startsWith(QLatin1String("minimal"))) return white;
    ShellIconState& state = State();
    // The application palette is only read on the GUI thread, where it is made and changed;
    // other threads get the colour last seen there.
    if (QThread::currentThread() == app->thread()) {
        const QColor base = QGuiApplication::palette().color(QPalette::Active, QPalette::Base);
        const TIOColorBGR colour = RGBColor(static_cast<uint8_t>(base.red()), static_cast<uint8_t>(base.green()),
                                            static_cast<uint8_t>(base.blue()));
        const std::lock_guard lock(state.mutex);
        state.windowColour = colour;
        return colour;
    }
    const std::lock_guard lock(state.mutex);
    return state.windowColour.value_or(white);
}
