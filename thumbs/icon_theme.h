// File-type icons looked up in freedesktop icon themes by the program itself, and rendered into
// straight-alpha RGBA images without touching the GUI thread's pixmap machinery.
#pragma once

#include "thumbs/rgba_image.h"

#include <map>
#include <optional>
#include <string>
#include <vector>


// Where themes are searched and which theme the desktop has chosen.
struct TIconThemeConfig {
    // Base folders, searched in order; each holds one folder per theme.
    std::vector<std::string> BaseDirs;
    // The configured theme; empty when none is configured.
    std::string ThemeName;
};

// Base folders from the environment: $HOME/.icons, $XDG_DATA_HOME/icons and the "icons" folder
// of every $XDG_DATA_DIRS entry (with the usual defaults), and the configured theme name.
TIconThemeConfig IconThemeConfigFromEnvironment();

// The GTK settings' gtk-icon-theme-name, from settings.ini of gtk-4.0 or gtk-3.0 under
// $XDG_CONFIG_HOME, then under each $XDG_CONFIG_DIRS entry; empty when none sets it.
std::string GtkIconThemeName();

// One lookup structure for a theme chain: the configured theme, its Inherits chain, hicolor,
// then Adwaita. Built once (it lists the theme folders); const and thread safe afterwards.
class TIconTheme {
public:
    explicit TIconTheme(TIconThemeConfig config);

    // The first of `names` that a theme of the chain has, themes tried in chain order and names
    // in the given order within each theme; the file whose size fits `size` best.
    std::optional<std::string> FindIcon(const std::vector<std::string>& names, int size) const;

    // Names of the themes found, in lookup order.
    std::vector<std::string> ChainNames() const;

private:
    enum class DirType { Fixed, Scalable, Threshold };
    struct Directory {
        int Size = 0;
        int MinSize = 0;
        int MaxSize = 0;
        int Threshold = 2;
        DirType Type = DirType::Threshold;
    };
    struct IconFile {
        int DirIndex = 0;
        std::string Path;
    };
    struct Theme {
        std::string Name;
        std::vector<Directory> Dirs;
        // Icon name -> files, in directory order and, within a folder, png before svg before xpm.
        std::map<std::string, std::vector<IconFile>> Icons;
    };

    bool LoadTheme(const std::string& name, std::vector<std::string>* inherits);
    std::optional<std::string> LookupInTheme(const Theme& theme, const std::string& name, int size) const;
    static bool DirectoryMatchesSize(const Directory& dir, int size);
    static int DirectorySizeDistance(const Directory& dir, int size);

    TIconThemeConfig config_;
    std::vector<Theme> chain_;
};

// Renders an icon file (PNG, SVG, SVGZ, XPM) into a size x size image, keeping its aspect ratio,
// centred; nullopt when the file cannot be read. Thread safe.
std::optional<TRgbaImage> RenderIconFile(const std::string& path, int size);
