// Freedesktop icon theme lookup (index.theme, Inherits, size matching) and icon rendering into
// QImage, which unlike QPixmap may be used from any thread.
#include "thumbs/icon_theme.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <dirent.h>
#include <sys/stat.h>

namespace {

// Icons are small; anything larger is not an icon and is not worth reading.
constexpr off_t kMaxIconFileBytes = 16 * 1024 * 1024;

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? std::string(value) : fallback;
}

std::vector<std::string> SplitList(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        const auto first = part.find_first_not_of(" \t");
        const auto last = part.find_last_not_of(" \t\r");
        if (first != std::string::npos) parts.push_back(part.substr(first, last - first + 1));
    }
    return parts;
}

// Absolute entries of a colon-separated XDG list, or the default when it is unset or empty.
std::vector<std::string> XdgList(const char* name, const std::string& fallback) {
    std::vector<std::string> result;
    const char* value = std::getenv(name);
    for (const std::string& entry : SplitList(value != nullptr && value[0] != '\0' ? value : fallback, ':')) {
        if (entry[0] == '/') result.push_back(entry);
    }
    return result;
}

std::string HomeDir() {
    const char* home = std::getenv("HOME");
    return home != nullptr ? std::string(home) : std::string();
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A minimal desktop-entry style reader: "[Section]" lines and "Key=Value" lines, "#" comments.
using IniSections = std::map<std::string, std::map<std::string, std::string>>;

IniSections ReadIni(const std::string& path) {
    IniSections sections;
    if (!IsRegularFile(path)) return sections;
    std::ifstream in(path);
    std::string line, section;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            const auto close = line.find(']');
            section = close == std::string::npos ? std::string() : line.substr(1, close - 1);
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        key.erase(key.find_last_not_of(" \t") + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        sections[section][key] = value;
    }
    return sections;
}

int ToInt(const std::map<std::string, std::string>& keys, const char* key, int fallback) {
    const auto it = keys.find(key);
    if (it == keys.end()) return fallback;
    char* end = nullptr;
    const long value = std::strtol(it->second.c_str(), &end, 10);
    if (end == it->second.c_str() || value < 0 || value > 100000) return fallback;
    return static_cast<int>(value);
}

// Rank of an icon file extension: lower is preferred; -1 for files that are not icons.
int ExtensionRank(const std::string& fileName, std::string* iconName) {
    static const char* const kExtensions[] = {".png", ".svg", ".xpm"};
    for (int i = 0; i < 3; ++i) {
        const std::string ext = kExtensions[i];
        if (fileName.size() > ext.size() && fileName.compare(fileName.size() - ext.size(), ext.size(), ext) == 0) {
            *iconName = fileName.substr(0, fileName.size() - ext.size());
            return i;
        }
    }
    return -1;
}

std::string QtIconThemeName() {
    // Qt's icon loader initialises itself lazily and without a lock, so it is only asked on the
    // GUI thread of a GUI application; elsewhere the GTK setting speaks for the desktop.
    const QCoreApplication* app = QCoreApplication::instance();
    if (qobject_cast<const QGuiApplication*>(app) == nullptr || QThread::currentThread() != app->thread()) return {};
    // Qt reports "hicolor" when nothing is configured; that is the fallback anyway.
    const QString name = QIcon::themeName();
    if (name.isEmpty() || name == QLatin1String("hicolor")) return {};
    return name.toStdString();
}

}  // namespace

std::string GtkIconThemeName() {
    std::vector<std::string> configDirs{EnvOr("XDG_CONFIG_HOME", HomeDir() + "/.config")};
    for (const std::string& dir : XdgList("XDG_CONFIG_DIRS", "/etc/xdg")) configDirs.push_back(dir);
    for (const std::string& dir : configDirs) {
        for (const char* version : {"gtk-4.0", "gtk-3.0"}) {
            const IniSections ini = ReadIni(dir + "/" + version + "/settings.ini");
            const auto settings = ini.find("Settings");
            if (settings == ini.end()) continue;
            const auto name = settings->second.find("gtk-icon-theme-name");
            if (name != settings->second.end() && !name->second.empty()) {
                std::string value = name->second;
                if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
                return value;
            }
        }
    }
    return {};
}

TIconThemeConfig IconThemeConfigFromEnvironment() {
    TIconThemeConfig config;
    const std::string home = HomeDir();
    if (!home.empty()) config.BaseDirs.push_back(home + "/.icons");
    config.BaseDirs.push_back(EnvOr("XDG_DATA_HOME", home + "/.local/share") + "/icons");
    for (const std::string& dir : XdgList("XDG_DATA_DIRS", "/usr/local/share:/usr/share")) {
        config.BaseDirs.push_back(dir + "/icons");
    }
    config.ThemeName = QtIconThemeName();
    if (config.ThemeName.empty()) config.ThemeName = GtkIconThemeName();
    return config;
}

TIconTheme::TIconTheme(TIconThemeConfig config) : config_(std::move(config)) {
    // hicolor is everyone's last resort: it is held back while walking Inherits so that it comes
    // after every inherited theme, and Adwaita after it supplies the generic MIME icons that
    // hicolor lacks.
    std::set<std::string> seen;
    std::vector<std::string> pending;
    if (!config_.ThemeName.empty()) pending.push_back(config_.ThemeName);
    auto walk = [&](bool allowHicolor) {
        while (!pending.empty()) {
            const std::string name = pending.front();
            pending.erase(pending.begin());
            if (name.empty() || name.find('/') != std::string::npos || seen.count(name) != 0) continue;
            if (name == "hicolor" && !allowHicolor) continue;
            seen.insert(name);
            std::vector<std::string> inherits;
            if (!LoadTheme(name, &inherits)) continue;
            pending.insert(pending.begin(), inherits.begin(), inherits.end());
        }
    };
    walk(false);
    pending = {"hicolor"};
    walk(true);
    pending = {"Adwaita"};
    walk(false);
}

bool TIconTheme::LoadTheme(const std::string& name, std::vector<std::string>* inherits) {
    std::vector<std::string> themeDirs;
    IniSections index;
    for (const std::string& base : config_.BaseDirs) {
        const std::string dir = base + "/" + name;
        if (!IsDirectory(dir)) continue;
        themeDirs.push_back(dir);
        if (index.empty()) index = ReadIni(dir + "/index.theme");
    }
    const auto header = index.find("Icon Theme");
    if (header == index.end()) return false;

    Theme theme;
    theme.Name = name;
    const auto inheritsKey = header->second.find("Inherits");
    if (inheritsKey != header->second.end()) *inherits = SplitList(inheritsKey->second, ',');

    std::vector<std::string> subdirs;
    for (const char* key : {"Directories", "ScaledDirectories"}) {
        const auto it = header->second.find(key);
        if (it == header->second.end()) continue;
        for (const std::string& subdir : SplitList(it->second, ',')) {
            if (std::find(subdirs.begin(), subdirs.end(), subdir) == subdirs.end()) subdirs.push_back(subdir);
        }
    }

    for (const std::string& subdir : subdirs) {
        const auto section = index.find(subdir);
        if (section == index.end() || subdir.find("..") != std::string::npos) continue;
        const auto& keys = section->second;
        // Only unscaled folders: pictures are drawn at device pixels.
        if (ToInt(keys, "Scale", 1) != 1) continue;
        Directory dir;
        dir.Size = ToInt(keys, "Size", 0);
        if (dir.Size <= 0) continue;
        dir.MinSize = ToInt(keys, "MinSize", dir.Size);
        dir.MaxSize = ToInt(keys, "MaxSize", dir.Size);
        dir.Threshold = ToInt(keys, "Threshold", 2);
        const auto type = keys.find("Type");
        if (type != keys.end() && type->second == "Fixed") dir.Type = DirType::Fixed;
        else if (type != keys.end() && type->second == "Scalable") dir.Type = DirType::Scalable;
        const int dirIndex = static_cast<int>(theme.Dirs.size());
        theme.Dirs.push_back(dir);

        for (const std::string& themeDir : themeDirs) {
            const std::string folder = themeDir + "/" + subdir;
            DIR* listing = opendir(folder.c_str());
            if (listing == nullptr) continue;
            std::vector<std::pair<int, std::pair<std::string, std::string>>> found;
            while (const dirent* entry = readdir(listing)) {
                std::string iconName;
                const int rank = ExtensionRank(entry->d_name, &iconName);
                if (rank >= 0) found.push_back({rank, {iconName, folder + "/" + entry->d_name}});
            }
            closedir(listing);
            std::sort(found.begin(), found.end());
            for (auto& [rank, icon] : found) theme.Icons[icon.first].push_back(IconFile{dirIndex, icon.second});
        }
    }
    chain_.push_back(std::move(theme));
    return true;
}

bool TIconTheme::DirectoryMatchesSize(const Directory& dir, int size) {
    switch (dir.Type) {
    case DirType::Fixed: return dir.Size == size;
    case DirType::Scalable: return dir.MinSize <= size && size <= dir.MaxSize;
    case DirType::Threshold: return dir.Size - dir.Threshold <= size && size <= dir.Size + dir.Threshold;
    }
    return false;
}

int TIconTheme::DirectorySizeDistance(const Directory& dir, int size) {
    int low = dir.Size, high = dir.Size;
    if (dir.Type == DirType::Scalable) {
        low = dir.MinSize;
        high = dir.MaxSize;
    } else if (dir.Type == DirType::Threshold) {
        low = dir.Size - dir.Threshold;
        high = dir.Size + dir.Threshold;
    }
    if (size < low) return low - size;
    if (size > high) return size - high;
    return 0;
}

std::optional<std::string> TIconTheme::LookupInTheme(const Theme& theme, const std::string& name, int size) const {
    const auto it = theme.Icons.find(name);
    if (it == theme.Icons.end()) return std::nullopt;
    for (const IconFile& file : it->second) {
        if (DirectoryMatchesSize(theme.Dirs[file.DirIndex], size)) return file.Path;
    }
    const IconFile* best = nullptr;
    int bestDistance = 0;
    for (const IconFile& file : it->second) {
        const int distance = DirectorySizeDistance(theme.Dirs[file.DirIndex], size);
        if (best == nullptr || distance < bestDistance) {
            best = &file;
            bestDistance = distance;
        }
    }
    return best->Path;
}

std::optional<std::string> TIconTheme::FindIcon(const std::vector<std::string>& names, int size) const {
    for (const Theme& theme : chain_) {
        for (const std::string& name : names) {
            if (auto path = LookupInTheme(theme, name, size)) return path;
        }
    }
    return std::nullopt;
}

std::vector<std::string> TIconTheme::ChainNames() const {
    std::vector<std::string> names;
    for (const Theme& theme : chain_) names.push_back(theme.Name);
    return names;
}

std::optional<TRgbaImage> RenderIconFile(const std::string& path, int size) {
    struct stat st {};
    if (size <= 0 || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxIconFileBytes) {
        return std::nullopt;
    }
    const QString qpath = QFile::decodeName(QByteArray::fromStdString(path));
    QImage canvas(size, size, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);

    if (qpath.endsWith(QLatin1String(".svg")) || qpath.endsWith(QLatin1String(".svgz"))) {
        QSvgRenderer renderer(qpath);
        if (!renderer.isValid()) return std::nullopt;
        QSizeF natural = renderer.viewBoxF().size();
        if (natural.isEmpty()) natural = QSizeF(renderer.defaultSize());
        if (natural.isEmpty()) natural = QSizeF(size, size);
        const QSizeF fitted = natural.scaled(size, size, Qt::KeepAspectRatio);
        QPainter painter(&canvas);
        renderer.render(&painter, QRectF((size - fitted.width()) / 2, (size - fitted.height()) / 2, fitted.width(),
                                         fitted.height()));
        painter.end();
        return ToRgbaImage(canvas);
    }

    QImageReader reader(qpath);
    QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    // An icon of the exact size keeps its exact pixels.
    if (image.width() == size && image.height() == size) return ToRgbaImage(image);
    image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPainter painter(&canvas);
    painter.drawImage((size - image.width()) / 2, (size - image.height()) / 2, image);
    painter.end();
    return ToRgbaImage(canvas);
}
