// Icon theme lookup over theme trees made in the test: the chain order, Inherits, size matching,
// the configured theme from the environment and GTK settings, and icon rendering.
#include "thumbs/icon_theme.h"

#include "test_support.h"
#include "thumbs/builtin_icons.h"
#include "thumbs/file_types.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>

namespace {

struct ThemeDir { std::string name; int size; const char* type; };

class IconThemeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        base_ = dir_.path().toStdString() + "/share/icons";
    }

    // A theme under `base` with the given folders and icon files ("folder/name.ext").
    void MakeTheme(const std::string& base, const std::string& theme, const std::string& inherits,
                   const std::vector<ThemeDir>& dirs, const std::vector<std::string>& icons) {
        std::string index = "[Icon Theme]\nName=" + theme + "\n";
        if (!inherits.empty()) index += "Inherits=" + inherits + "\n";
        index += "Directories=";
        for (size_t i = 0; i < dirs.size(); ++i) index += (i ? "," : "") + dirs[i].name;
        index += "\n";
        for (const ThemeDir& d : dirs) {
            index += "\n[" + d.name + "]\nSize=" + std::to_string(d.size) + "\nType=" + d.type + "\n";
            if (std::string(d.type) == "Scalable") index += "MinSize=8\nMaxSize=512\n";
            MakeDirs(base + "/" + theme + "/" + d.name);
        }
        WriteFile(base + "/" + theme + "/index.theme", index);
        for (const std::string& icon : icons) WriteFile(base + "/" + theme + "/" + icon, "x");
    }

    std::string At(const std::string& theme, const std::string& file) const { return base_ + "/" + theme + "/" + file; }

    QTemporaryDir dir_;
    std::string base_;
};

const std::vector<ThemeDir> kDirs = {{"16x16/mimetypes", 16, "Fixed"}, {"48x48/mimetypes", 48, "Fixed"}};

TEST_F(IconThemeTest, ChainIsConfiguredThenInheritsThenHicolorThenAdwaita) {
    MakeTheme(base_, "Child", "Parent,hicolor", kDirs, {});
    MakeTheme(base_, "Parent", "hicolor,Missing", kDirs, {});
    MakeTheme(base_, "hicolor", "", kDirs, {});
    MakeTheme(base_, "Adwaita", "hicolor", kDirs, {});
    MakeTheme(base_, "Unrelated", "", kDirs, {});
    const TIconTheme theme(TIconThemeConfig{{base_}, "Child"});
    EXPECT_EQ(theme.ChainNames(), (std::vector<std::string>{"Child", "Parent", "hicolor", "Adwaita"}));

    // A cycle of Inherits ends; no configured theme still gives the fallbacks.
    MakeTheme(base_, "Loop1", "Loop2", kDirs, {});
    MakeTheme(base_, "Loop2", "Loop1", kDirs, {});
    EXPECT_EQ(TIconTheme(TIconThemeConfig{{base_}, "Loop1"}).ChainNames(),
              (std::vector<std::string>{"Loop1", "Loop2", "hicolor", "Adwaita"}));
    EXPECT_EQ(TIconTheme(TIconThemeConfig{{base_}, ""}).ChainNames(),
              (std::vector<std::string>{"hicolor", "Adwaita"}));
}

TEST_F(IconThemeTest, ThemesAreTriedInOrderAndNamesInOrderWithinEach) {
    MakeTheme(base_, "Child", "Parent", kDirs, {"48x48/mimetypes/x-office-document.png", "48x48/mimetypes/shared.png"});
    MakeTheme(base_, "Parent", "", kDirs, {"48x48/mimetypes/application-pdf.png", "48x48/mimetypes/shared.png",
                                             "48x48/mimetypes/only-parent.svg"});
    MakeTheme(base_, "hicolor", "", kDirs, {"48x48/mimetypes/only-hicolor.png"});
    MakeTheme(base_, "Adwaita", "", kDirs, {"48x48/mimetypes/only-hicolor.png", "48x48/mimetypes/only-adwaita.png"});
    const TIconTheme theme(TIconThemeConfig{{base_}, "Child"});
    // The child's generic icon wins over the parent's specific one: themes are the outer loop.
    EXPECT_EQ(theme.FindIcon({"application-pdf", "x-office-document"}, 48), At("Child", "48x48/mimetypes/x-office-document.png"));
    EXPECT_EQ(theme.FindIcon({"shared"}, 48), At("Child", "48x48/mimetypes/shared.png"));
    EXPECT_EQ(theme.FindIcon({"only-parent"}, 48), At("Parent", "48x48/mimetypes/only-parent.svg"));
    EXPECT_EQ(theme.FindIcon({"only-hicolor"}, 48), At("hicolor", "48x48/mimetypes/only-hicolor.png"));
    EXPECT_EQ(theme.FindIcon({"only-adwaita"}, 48), At("Adwaita", "48x48/mimetypes/only-adwaita.png"));
    EXPECT_EQ(theme.FindIcon({"nowhere"}, 48), std::nullopt);
}

TEST_F(IconThemeTest, SizeMatchesExactlyFirstThenByDistance) {
    const std::vector<ThemeDir> dirs = {{"16x16/mimetypes", 16, "Fixed"},
                                        {"32x32/mimetypes", 32, "Threshold"},
                                        {"64x64/mimetypes", 64, "Fixed"},
                                        {"scalable/mimetypes", 64, "Scalable"}};
    MakeTheme(base_, "hicolor", "", dirs,
              {"16x16/mimetypes/a.png", "32x32/mimetypes/a.png", "64x64/mimetypes/a.png", "16x16/mimetypes/b.png",
               "64x64/mimetypes/b.png", "64x64/mimetypes/b.svg", "16x16/mimetypes/c.png", "scalable/mimetypes/c.svg",
               "16x16/mimetypes/d.png", "64x64/mimetypes/d.xpm"});
    const TIconTheme theme(TIconThemeConfig{{base_}, ""});
    EXPECT_EQ(theme.FindIcon({"a"}, 16), At("hicolor", "16x16/mimetypes/a.png"));
    EXPECT_EQ(theme.FindIcon({"a"}, 34), At("hicolor", "32x32/mimetypes/a.png"));  // within the threshold
    EXPECT_EQ(theme.FindIcon({"a"}, 48), At("hicolor", "32x32/mimetypes/a.png"));  // 14 from 34, 16 from 64
    EXPECT_EQ(theme.FindIcon({"a"}, 52), At("hicolor", "64x64/mimetypes/a.png"));  // 18 from 34, 12 from 64
    EXPECT_EQ(theme.FindIcon({"b"}, 48), At("hicolor", "64x64/mimetypes/b.png"));  // png before svg
    EXPECT_EQ(theme.FindIcon({"b"}, 24), At("hicolor", "16x16/mimetypes/b.png"));
    EXPECT_EQ(theme.FindIcon({"c"}, 48), At("hicolor", "scalable/mimetypes/c.svg"));
    EXPECT_EQ(theme.FindIcon({"d"}, 48), At("hicolor", "64x64/mimetypes/d.xpm"));
}

TEST_F(IconThemeTest, ConfigurationComesFromTheEnvironment) {
    const std::string root = dir_.path().toStdString();
    setenv("HOME", (root + "/home").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data-home").c_str(), 1);
    setenv("XDG_DATA_DIRS", (root + "/one:relative/ignored:" + root + "/two").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (root + "/etc-xdg").c_str(), 1);
    MakeDirs(root + "/config/gtk-3.0");
    WriteFile(root + "/config/gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=Other\ngtk-icon-theme-name = Papyrus\n");
    EXPECT_EQ(GtkIconThemeName(), "Papyrus");

    const TIconThemeConfig config = IconThemeConfigFromEnvironment();
    EXPECT_EQ(config.BaseDirs, (std::vector<std::string>{root + "/home/.icons", root + "/data-home/icons",
                                                         root + "/one/icons", root + "/two/icons"}));
    // Under the off-screen platform Qt has no theme of its own, so the GTK setting speaks.
    EXPECT_EQ(config.ThemeName, "Papyrus");

    // A theme in $XDG_DATA_DIRS is found through the environment's configuration.
    MakeTheme(root + "/two/icons", "Papyrus", "", kDirs, {"48x48/mimetypes/text-plain.png"});
    EXPECT_EQ(TIconTheme(config).FindIcon({"text-plain"}, 48),
              root + "/two/icons/Papyrus/48x48/mimetypes/text-plain.png");

    // gtk-4.0 comes before gtk-3.0; without any setting the name is empty.
    MakeDirs(root + "/config/gtk-4.0");
    WriteFile(root + "/config/gtk-4.0/settings.ini", "[Settings]\ngtk-icon-theme-name=Newer\n");
    EXPECT_EQ(GtkIconThemeName(), "Newer");
    setenv("XDG_CONFIG_HOME", (root + "/nothing").c_str(), 1);
    EXPECT_EQ(GtkIconThemeName(), "");
}

TEST_F(IconThemeTest, RendersSvgAndPngIconsAtTheListSize) {
    const std::string root = dir_.path().toStdString();
    WriteFile(root + "/square.svg",
              "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 10 10'><rect width='10' height='10' fill='#00ff00'/></svg>");
    WriteSolidPng(root + "/big.png", 96, 96, QColor(0, 0, 255));
    WriteSolidPng(root + "/wide.png", 96, 48, QColor(255, 0, 0));
    WriteFile(root + "/broken.png", "not a png");

    const auto svg = RenderIconFile(root + "/square.svg", 32);
    ASSERT_TRUE(svg.has_value());
    ASSERT_EQ(svg->Width, 32);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const uint8_t* p = svg->Pixel(x, y);
            ASSERT_EQ((std::vector<int>{p[0], p[1], p[2], p[3]}), (std::vector<int>{0, 255, 0, 255})) << x << "," << y;
        }
    }
    const auto big = RenderIconFile(root + "/big.png", 48);
    ASSERT_TRUE(big.has_value());
    ASSERT_EQ(big->Height, 48);
    EXPECT_EQ((std::vector<int>{big->Pixel(47, 47)[2], big->Pixel(47, 47)[3]}), (std::vector<int>{255, 255}));
    // A wide icon keeps its aspect: a band across the middle, transparent above and below.
    const auto wide = RenderIconFile(root + "/wide.png", 16);
    ASSERT_TRUE(wide.has_value());
    EXPECT_EQ(wide->Pixel(8, 1)[3], 0);
    EXPECT_EQ(wide->Pixel(8, 8)[0], 255);
    EXPECT_EQ(wide->Pixel(8, 8)[3], 255);
    EXPECT_EQ(wide->Pixel(8, 14)[3], 0);

    EXPECT_FALSE(RenderIconFile(root + "/broken.png", 16).has_value());
    EXPECT_FALSE(RenderIconFile(root + "/absent.svg", 16).has_value());
    EXPECT_FALSE(RenderIconFile(root, 16).has_value());
}

TEST(BuiltInIcons, EveryKindIsDrawnAndDistinct) {
    const TBuiltInIconKind kinds[] = {
        TBuiltInIconKind::GenericFile, TBuiltInIconKind::Text,         TBuiltInIconKind::Image,
        TBuiltInIconKind::Audio,       TBuiltInIconKind::Video,        TBuiltInIconKind::Archive,
        TBuiltInIconKind::Document,    TBuiltInIconKind::Spreadsheet,  TBuiltInIconKind::Presentation,
        TBuiltInIconKind::Pdf,         TBuiltInIconKind::Font,         TBuiltInIconKind::Executable};
    std::set<std::vector<uint8_t>> seen;
    for (TBuiltInIconKind kind : kinds) {
        for (int size : {16, 32, 48}) {
            const TRgbaImage icon = BuiltInIcon(kind, size);
            ASSERT_EQ(icon.Width, size);
            ASSERT_EQ(icon.Height, size);
            // Transparent corner outside the sheet, opaque sheet in the middle.
            EXPECT_EQ(icon.Pixel(0, 0)[3], 0);
            EXPECT_EQ(icon.Pixel(size / 2, size * 3 / 4)[3], 255);
            if (size == 48) {
                EXPECT_TRUE(seen.insert(icon.Pixels).second) << static_cast<int>(kind);
            }
        }
    }
}

TEST(FileTypes, MimeTypesMapToIconNamesAndBuiltInKinds) {
    struct Case { const char* name; const char* firstIcon; TBuiltInIconKind kind; };
    const Case cases[] = {
        {"a.pdf", "application-pdf", TBuiltInIconKind::Pdf},
        {"a.txt", "text-plain", TBuiltInIconKind::Text},
        {"a.c", "text-x-csrc", TBuiltInIconKind::Text},
        {"a.png", "image-png", TBuiltInIconKind::Image},
        {"a.mp3", "audio-mpeg", TBuiltInIconKind::Audio},
        {"a.mp4", "video-mp4", TBuiltInIconKind::Video},
        {"a.tar.gz", "application-x-compressed-tar", TBuiltInIconKind::Archive},
        {"a.zip", "application-zip", TBuiltInIconKind::Archive},
        {"a.odt", "application-vnd.oasis.opendocument.text", TBuiltInIconKind::Document},
        {"a.xlsx", "application-vnd.openxmlformats-officedocument.spreadsheetml.sheet", TBuiltInIconKind::Spreadsheet},
        {"a.odp", "application-vnd.oasis.opendocument.presentation", TBuiltInIconKind::Presentation},
        {"a.ttf", "font-ttf", TBuiltInIconKind::Font},
        {"a.exe", "application-x-ms-dos-executable", TBuiltInIconKind::Executable},
        {"a.qqqunknown", "application-octet-stream", TBuiltInIconKind::GenericFile},
    };
    for (const Case& c : cases) {
        const std::string type = MimeTypeOfName(c.name);
        const std::vector<std::string> names = IconNamesForMimeType(type);
        ASSERT_FALSE(names.empty()) << c.name;
        EXPECT_EQ(names.front(), c.firstIcon) << c.name;
        EXPECT_EQ(names.back(), "application-x-generic") << c.name;
        EXPECT_EQ(BuiltInKindForMimeType(type), c.kind) << c.name << " " << type;
    }
    EXPECT_EQ(IconNamesForMimeType("application/pdf"),
              (std::vector<std::string>{"application-pdf", "x-office-document", "application-x-generic"}));
}

TEST(FileTypes, ContentDecidesWhenTheNameDoesNot) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    WriteFile(root + "/noext", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    WriteFile(root + "/script", "#!/bin/sh\necho hi\n");
    EXPECT_EQ(MimeTypeOfFile(root + "/noext"), "image/png");
    EXPECT_EQ(MimeTypeOfFile(root + "/script"), "application/x-shellscript");
    EXPECT_EQ(MimeTypeOfFile(root), "inode/directory");
    // A missing entry is matched by its name alone.
    EXPECT_EQ(MimeTypeOfFile(root + "/gone.pdf"), "application/pdf");
}

}  // namespace
