// The main window, the file list, the About box and the progress dialog, driven on the offscreen
// platform. Every dialog, message box and link goes through the test's own TUserDialogs, so no
// test waits on a modal window; the export runs the real engine into a temporary folder.
#include "app/about_box.h"
#include "app/app_texts.h"
#include "app/link_label.h"
#include "app/main_window.h"
#include "app/progress_dialog.h"
#include "app/thumbnail_to_picture.h"
#include "thumbs/file_thumb.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>

#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <memory>

namespace {

// Answers and records what the windows ask of the user and the desktop.
struct Desk {
    QStringList messages;
    QList<QUrl> opened;
    std::deque<QStringList> filesToChoose;
    std::deque<QString> foldersToChoose;
    QStringList folderTitles;
    int modalCount = 0;
    std::function<int(QDialog&)> onModal = [](QDialog&) { return 0; };

    TUserDialogs Dialogs() {
        TUserDialogs d;
        d.ShowMessage = [this](QWidget*, const QString& text) { messages << text; };
        d.ChooseFiles = [this](QWidget*) {
            if (filesToChoose.empty()) return QStringList();
            QStringList files = filesToChoose.front();
            filesToChoose.pop_front();
            return files;
        };
        d.ChooseFolder = [this](QWidget*, const QString& title) {
            folderTitles << title;
            if (foldersToChoose.empty()) return QString();
            QString folder = foldersToChoose.front();
            foldersToChoose.pop_front();
            return folder;
        };
        d.ExecModal = [this](QDialog& dialog) {
            ++modalCount;
            return onModal(dialog);
        };
        d.OpenUrl = [this](const QUrl& url) { opened << url; };
        return d;
    }
};

void WriteFile(const QString& path, const QByteArray& bytes = "data") {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(bytes);
}

QStringList Texts(const TForm1& w) {
    QStringList texts;
    for (int row = 0; row < w.ListView1->rowCount(); ++row) texts << w.ListView1->item(row, 0)->text();
    return texts;
}

int SelectedRow(const TForm1& w) {
    const QModelIndexList rows = w.ListView1->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

// Enabled states of Remove, Remove all and Export with their menu items, and Help on line.
struct ButtonStates {
    bool remove, removeAll, exportButton;
};

void CheckButtons(const TForm1& w, ButtonStates expected) {
    QCOMPARE(w.ToolButton3->isEnabled(), expected.remove);
    QCOMPARE(w.Remove1->isEnabled(), expected.remove);
    QCOMPARE(w.ToolButton4->isEnabled(), expected.removeAll);
    QCOMPARE(w.Removeall1->isEnabled(), expected.removeAll);
    QCOMPARE(w.TntButton1->isEnabled(), expected.exportButton);
    QCOMPARE(w.ExporttoCSV1->isEnabled(), expected.exportButton);
    QVERIFY(w.ToolButton5->isEnabled());
    QVERIFY(w.Addfiles1->isEnabled());
    QVERIFY(w.Addfolder1->isEnabled());
}

QUrl FileUrlOfBytes(const QByteArray& path) {
    return QUrl::fromEncoded("file://" + path.toPercentEncoding("/"));
}

void SendDrop(QWidget* target, const QList<QUrl>& urls, bool* accepted = nullptr) {
    QMimeData mime;
    mime.setUrls(urls);
    const QPointF at(10, 10);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    if (accepted) *accepted = drop.isAccepted();
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir sandbox_;
    Desk desk_;
    std::unique_ptr<TForm1> window_;

    QString Make(const QString& name, const QByteArray& bytes = "data") {
        const QString path = sandbox_.filePath(name);
        WriteFile(path, bytes);
        return path;
    }
    QString MakeDir(const QString& name) {
        const QString path = sandbox_.filePath(name);
        QDir().mkpath(path);
        return path;
    }
    void AddFiles(const QStringList& files) {
        desk_.filesToChoose.push_back(files);
        window_->ToolButton1Click();
    }

private slots:
    void initTestCase() {
        QVERIFY(sandbox_.isValid());
        // No thumbnail cache of the user's is read.
        qputenv("XDG_CACHE_HOME", QFile::encodeName(sandbox_.filePath(QStringLiteral("cache"))));
    }

    void init() {
        desk_ = Desk();
        window_ = std::make_unique<TForm1>(desk_.Dialogs());
    }

    void cleanup() { window_.reset(); }

    void startsWithItsControlsAndCaptions() {
        TForm1& w = *window_;
        QCOMPARE(w.windowTitle(), QStringLiteral("Quorvane Pictolith"));
        QVERIFY(!w.windowIcon().isNull());
        for (const char* name : {"TntToolBar1", "ToolButton1", "ToolButton2", "ToolButton3", "ToolButton4",
                                 "ToolButton5", "ListView1", "TntPanel1", "GroupBox1", "Image1", "Label1",
                                 "TntGroupBox3", "TntComboBox1", "TntEdit1", "TntEdit4", "TntSpeedButton1",
                                 "TntButton3", "TntButton1", "TntButton2", "TntStatusBar1", "PopupMenu1"})
            QVERIFY2(w.findChild<QObject*>(QString::fromLatin1(name)), name);

        QCOMPARE(w.ToolButton1->text(), QStringLiteral("Add files"));
        QCOMPARE(w.ToolButton2->text(), QStringLiteral("Add folder"));
        QCOMPARE(w.ToolButton3->text(), QStringLiteral("Remove"));
        QCOMPARE(w.ToolButton4->text(), QStringLiteral("Remove all"));
        QCOMPARE(w.ToolButton5->text(), QStringLiteral("Help on line"));
        QCOMPARE(w.ListView1->horizontalHeaderItem(0)->text(), QStringLiteral("File list"));
        QCOMPARE(w.ListView1->selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(w.ListView1->editTriggers(), QAbstractItemView::NoEditTriggers);
        QCOMPARE(w.GroupBox1->title(), QStringLiteral("Thumbnail"));
        QCOMPARE(w.Label1->text(), QStringLiteral("How to start?"));
        QVERIFY(w.Label1->font().bold());
        QCOMPARE(w.TntGroupBox3->title(), QStringLiteral("Output setting"));
        QStringList types;
        for (int i = 0; i < w.TntComboBox1->count(); ++i) types << w.TntComboBox1->itemText(i);
        QCOMPARE(types, QStringList({".jpg", ".jpeg", ".bmp", ".gif", ".png"}));
        QCOMPARE(w.TntComboBox1->currentText(), QStringLiteral(".jpg"));
        QVERIFY(!w.TntComboBox1->isEditable());
        QCOMPARE(w.TntEdit1->text(), QStringLiteral("128"));
        QCOMPARE(w.TntEdit4->text(), QStringLiteral("Please select image output folder->"));
        QCOMPARE(w.TntButton3->text(), QStringLiteral("Open destination folder"));
        QCOMPARE(w.TntButton1->text(), QStringLiteral("Export"));
        QCOMPARE(w.TntButton2->text(), QStringLiteral("Exit"));
        QVERIFY(w.TntButton1->font().bold() && w.TntButton2->font().bold());
        QCOMPARE(w.TntStatusBar1Panel->text(),
                 QStringLiteral("Tips: You can drag and drop files to File list. Mouse double click to remove the "
                                "file from File list."));

        QStringList menus;
        for (QAction* menu : w.menuBar()->actions()) {
            menus << menu->text();
            for (QAction* item : menu->menu()->actions()) menus << "  " + item->text();
        }
        QCOMPARE(menus, QStringList({"File", "  Exit", "Help", "  Help", "  Quorvane Website", "  Email Support",
                                     "  About"}));
        QStringList popup;
        for (QAction* item : w.PopupMenu1->actions()) popup << item->text();
        QCOMPARE(popup, QStringList({"Add files", "Add folder", "Remove", "Remove all", "Export to CSV"}));

        QCOMPARE(w.ListView1->rowCount(), 0);
        CheckButtons(w, {false, false, false});
        QVERIFY(w.Image1->isHidden());
        QVERIFY(!w.Label1->isHidden());
    }

    void addFilesSkipsExactDuplicatesAndSelectsTheLast() {
        TForm1& w = *window_;
        AddFiles({"/data/a.txt", "/data/b.txt"});
        QCOMPARE(Texts(w), QStringList({"/data/a.txt", "/data/b.txt"}));
        QCOMPARE(SelectedRow(w), 1);
        CheckButtons(w, {true, true, true});

        w.ListView1->selectRow(0);
        // Already listed: nothing added, the last entry selected all the same. Letter case counts.
        AddFiles({"/data/b.txt", "/data/a.txt"});
        QCOMPARE(Texts(w), QStringList({"/data/a.txt", "/data/b.txt"}));
        QCOMPARE(SelectedRow(w), 1);
        AddFiles({"/data/A.txt", "/data/a.txt", "/data/c.txt", "/data/c.txt"});
        QCOMPARE(Texts(w), QStringList({"/data/a.txt", "/data/b.txt", "/data/A.txt", "/data/c.txt"}));
        QCOMPARE(SelectedRow(w), 3);

        w.ListView1->selectRow(0);
        window_->ToolButton1Click();   // the dialog cancelled
        QCOMPARE(w.ListView1->rowCount(), 4);
        QCOMPARE(SelectedRow(w), 0);
    }

    void addFolderTakesTheFolderOwnFilesOnly() {
        TForm1& w = *window_;
        const QString folder = MakeDir("pick");
        WriteFile(folder + "/photo.jpg");
        WriteFile(folder + "/.hidden");
        WriteFile(folder + "/~$report.docx");
        MakeDir("pick/sub");
        WriteFile(folder + "/sub/inner.txt");

        desk_.foldersToChoose.push_back(folder + "/");   // a trailing "/" gives one "/" before the name
        QSignalSpy selection(w.ListView1->selectionModel(), &QItemSelectionModel::selectionChanged);
        w.ToolButton2->click();
        QCOMPARE(desk_.folderTitles, QStringList({"Please select folder"}));
        QStringList got = Texts(w);
        got.sort();
        QCOMPARE(got, QStringList({folder + "/.hidden", folder + "/photo.jpg"}));
        QCOMPARE(SelectedRow(w), 1);
        QVERIFY(selection.count() > 0);

        // The same folder again adds nothing and leaves the selection alone.
        w.ListView1->selectRow(0);
        desk_.foldersToChoose.push_back(folder);
        w.Addfolder1->trigger();
        QCOMPARE(w.ListView1->rowCount(), 2);
        QCOMPARE(SelectedRow(w), 0);

        // Only subfolders, a folder with "~$" in its path, and a cancelled browser: nothing.
        const QString tilde = MakeDir("old~$copy");
        WriteFile(tilde + "/kept.txt");
        desk_.foldersToChoose.push_back(MakeDir("onlysub") + "/");
        MakeDir("onlysub/inner");
        w.ToolButton2Click();
        desk_.foldersToChoose.push_back(tilde);
        w.ToolButton2Click();
        w.ToolButton2Click();
        QCOMPARE(w.ListView1->rowCount(), 2);
        QCOMPARE(SelectedRow(w), 0);
    }

    void removeSelectsTheNeighbour_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("removed");
        QTest::addColumn<int>("selectedAfter");
        QTest::newRow("first of three selects the new first") << 3 << 0 << 0;
        QTest::newRow("middle selects the one before") << 3 << 1 << 0;
        QTest::newRow("last selects the one before") << 3 << 2 << 1;
        QTest::newRow("only entry leaves nothing selected") << 1 << 0 << -1;
    }

    void removeSelectsTheNeighbour() {
        QFETCH(int, count);
        QFETCH(int, removed);
        QFETCH(int, selectedAfter);
        TForm1& w = *window_;
        QStringList files;
        for (int i = 0; i < count; ++i) files << Make(QStringLiteral("r%1.txt").arg(i));
        AddFiles(files);
        w.ListView1->selectRow(removed);
        w.ToolButton3->click();

        QStringList expected = files;
        expected.removeAt(removed);
        QCOMPARE(Texts(w), expected);
        QCOMPARE(SelectedRow(w), selectedAfter);
        if (selectedAfter < 0) {
            CheckButtons(w, {false, false, false});
            QVERIFY(w.Image1->isHidden());
            QVERIFY(!w.Label1->isHidden());
        } else {
            CheckButtons(w, {true, true, true});
            QVERIFY(!w.Image1->isHidden());
        }
    }

    void removeWithoutSelectionAndRemoveAll() {
        TForm1& w = *window_;
        AddFiles({"/x/1", "/x/2", "/x/3"});
        w.ListView1->clearSelection();
        CheckButtons(w, {false, true, true});
        w.ToolButton3Click();
        QCOMPARE(w.ListView1->rowCount(), 3);

        w.ListView1->selectRow(1);
        w.Removeall1->trigger();
        QCOMPARE(w.ListView1->rowCount(), 0);
        CheckButtons(w, {false, false, false});
        QVERIFY(w.Image1->isHidden());
    }

    void doubleClickRemovesTheEntry() {
        TForm1& w = *window_;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        AddFiles({"/y/one", "/y/two", "/y/three"});
        const QRect second = w.ListView1->visualItemRect(w.ListView1->item(1, 0));
        // A real double click is a click followed by the double-click event.
        QTest::mouseClick(w.ListView1->viewport(), Qt::LeftButton, Qt::NoModifier, second.center());
        QTest::mouseDClick(w.ListView1->viewport(), Qt::LeftButton, Qt::NoModifier, second.center());
        QCOMPARE(Texts(w), QStringList({"/y/one", "/y/three"}));
        QCOMPARE(SelectedRow(w), 0);

        // Below the last entry: the selection is cleared and nothing is removed.
        const QPoint empty(5, w.ListView1->viewport()->height() - 5);
        QTest::mouseClick(w.ListView1->viewport(), Qt::LeftButton, Qt::NoModifier, empty);
        QTest::mouseDClick(w.ListView1->viewport(), Qt::LeftButton, Qt::NoModifier, empty);
        QCOMPARE(w.ListView1->rowCount(), 2);
    }

    void selectionShowsAndHidesThePreview() {
        TForm1& w = *window_;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QString file = Make("preview.txt", "some text for the preview");
        AddFiles({file});
        QVERIFY(w.Image1->isVisible());
        QVERIFY(!w.Label1->isVisible());
        const QPixmap picture = w.Image1->pixmap();
        QCOMPARE(picture.size(), QSize(80, 80));
        // Exactly the thumbnail maker's picture for that file at 80 pixels.
        TFileThumb thumb;
        thumb.SetSize(80);
        thumb.SetFileName(QFile::encodeName(file).toStdString());
        QCOMPARE(picture.toImage().convertToFormat(QImage::Format_RGB32), BitmapToImage(thumb.Bitmap()));

        w.ListView1->clearSelection();
        QVERIFY(!w.Image1->isVisible());
        QVERIFY(w.Label1->isVisible());
        CheckButtons(w, {false, true, true});

        QTest::mouseClick(w.ListView1->viewport(), Qt::LeftButton, Qt::NoModifier,
                          w.ListView1->visualItemRect(w.ListView1->item(0, 0)).center());
        QVERIFY(w.Image1->isVisible());
        CheckButtons(w, {true, true, true});
    }

    // The maker may hand over a picture of any depth; rows are padded to 4 bytes.
    void bitmapToImageReadsEveryDepth_data() {
        QTest::addColumn<int>("bits");
        QTest::newRow("1 bit with a table") << 1;
        QTest::newRow("8 bits with a table") << 8;
        QTest::newRow("24 bits") << 24;
        QTest::newRow("32 bits") << 32;
    }

    void bitmapToImageReadsEveryDepth() {
        QFETCH(int, bits);
        const QList<QRgb> colours = {qRgb(250, 10, 20), qRgb(5, 200, 30), qRgb(0, 40, 220),
                                     qRgb(90, 90, 90), qRgb(255, 255, 0), qRgb(1, 2, 3)};
        TBitmap bitmap;
        bitmap.SetSize(3, 2);
        bitmap.SetBitsPerPixel(bits);
        QImage expected(3, 2, QImage::Format_RGB32);
        if (bits <= 8) {
            auto& table = bitmap.ColorTable();
            table.assign(bits == 1 ? 2 : 256, RGBColor(0, 0, 0));
            for (int i = 0; i < (bits == 1 ? 2 : 6); ++i)
                table[i] = RGBColor(qRed(colours[i]), qGreen(colours[i]), qBlue(colours[i]));
        }
        for (int y = 0; y < 2; ++y) {
            uint8_t* row = bitmap.ScanLine(y);
            for (int x = 0; x < 3; ++x) {
                const int i = y * 3 + x;
                if (bits == 1) {
                    if (i % 2) row[0] |= static_cast<uint8_t>(0x80 >> x);
                    expected.setPixel(x, y, colours[i % 2]);
                } else if (bits == 8) {
                    row[x] = static_cast<uint8_t>(i);
                    expected.setPixel(x, y, colours[i]);
                } else {
                    uint8_t* p = row + x * (bits / 8);
                    p[0] = qBlue(colours[i]);
                    p[1] = qGreen(colours[i]);
                    p[2] = qRed(colours[i]);
                    expected.setPixel(x, y, colours[i]);
                }
            }
        }
        QCOMPARE(BitmapToImage(bitmap), expected);
    }

    void dropAddsFilesWithAnExtension() {
        TForm1& w = *window_;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QString a = Make("drop a.txt");
        const QString b = Make("drop.PNG");
        const QString noExtension = Make("README");
        const QString dottedFolderFile = MakeDir("v1.2") + "/notes";
        WriteFile(dottedFolderFile);
        const QString tilde = Make("~$draft.docx");
        const QString folder = MakeDir("folder.d");
        // A name that is not valid UTF-8 keeps its bytes.
        const QByteArray latin1 = QFile::encodeName(sandbox_.path()) + "/caf\xe9.txt";
        const int fd = ::open(latin1.constData(), O_CREAT | O_WRONLY, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);

        AddFiles({a});
        bool accepted = false;
        SendDrop(w.ListView1->viewport(),
                 {QUrl::fromLocalFile(a), QUrl::fromLocalFile(noExtension), QUrl::fromLocalFile(dottedFolderFile),
                  QUrl::fromLocalFile(tilde), QUrl::fromLocalFile(folder), QUrl::fromLocalFile(sandbox_.filePath("gone.txt")),
                  QUrl(QStringLiteral("https://example.org/x.png")), QUrl::fromLocalFile(b), FileUrlOfBytes(latin1)},
                 &accepted);
        QVERIFY(accepted);
        const std::vector<std::string> paths = w.ListPaths();
        QCOMPARE(paths.size(), size_t(3));
        QCOMPARE(QString::fromStdString(paths[0]), a);
        QCOMPARE(QString::fromStdString(paths[1]), b);
        QCOMPARE(QByteArray::fromStdString(paths[2]), latin1);
        QCOMPARE(SelectedRow(w), 2);
        QTRY_VERIFY(w.ListView1->hasFocus());

        // Aimed anywhere else, a drop is not the list's.
        SendDrop(w.TntEdit1, {QUrl::fromLocalFile(noExtension), QUrl::fromLocalFile(Make("other.txt"))});
        QCOMPARE(w.ListView1->rowCount(), 3);
        // Nothing new: the selection stays where it is.
        w.ListView1->selectRow(0);
        SendDrop(w.ListView1->viewport(), {QUrl::fromLocalFile(a)});
        QCOMPARE(SelectedRow(w), 0);
        // QTemporaryDir cannot remove a name that is not valid UTF-8.
        ::unlink(latin1.constData());
    }

    void destinationFolderButton_data() {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("box");
        QTest::newRow("root") << "/" << "/";
        QTest::newRow("folder gets a slash") << "/home/me/Photos" << "/home/me/Photos/";
        QTest::newRow("cancelled leaves the box") << "" << "/kept/";
    }

    void destinationFolderButton() {
        QFETCH(QString, chosen);
        QFETCH(QString, box);
        TForm1& w = *window_;
        w.TntEdit4->setText(QStringLiteral("/kept/"));
        desk_.foldersToChoose.push_back(chosen);
        w.TntSpeedButton1->click();
        QCOMPARE(desk_.folderTitles, QStringList({"Please select image output folder"}));
        QCOMPARE(w.TntEdit4->text(), box);
    }

    void linksOpenTheirAddresses() {
        TForm1& w = *window_;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QString help = QStringLiteral("/Pictolith/Pictolith.htm");
        AddFiles({"/z/listed"});   // "Export to CSV" is enabled only with a list
        w.ListView1->clearSelection();
        w.ToolButton5->click();
        w.ExporttoCSV1->trigger();
        w.Help2->trigger();
        QTest::mouseClick(w.Label1, Qt::LeftButton);
        QTest::mouseClick(w.GroupBox1, Qt::LeftButton, Qt::NoModifier, QPoint(3, w.GroupBox1->height() - 3));
        QCOMPARE(desk_.opened.size(), 5);
        for (const QUrl& url : desk_.opened) {
            QCOMPARE(url.path(), help);
            QVERIFY(url.scheme().startsWith(QStringLiteral("http")));
        }
        desk_.opened.clear();

        w.QuorvaneWebsite1->trigger();
        QCOMPARE(desk_.opened.size(), 1);
        QCOMPARE(desk_.opened[0].path(), QStringLiteral("/index.htm"));
        QCOMPARE(desk_.opened[0].query(), QStringLiteral("Thu"));

        w.EmailSupport1->trigger();
        QCOMPARE(desk_.opened.size(), 2);
        QCOMPARE(desk_.opened[1].scheme(), QStringLiteral("mailto"));
        QVERIFY(desk_.opened[1].toString().endsWith(QStringLiteral("?subject=Quorvane Pictolith")));

        w.TntEdit4->setText(QStringLiteral("/some/where/"));
        w.TntButton3->click();
        QCOMPARE(desk_.opened.size(), 3);
        QCOMPARE(desk_.opened[2], QUrl::fromLocalFile(QStringLiteral("/some/where/")));
    }

    void aboutBox() {
        TForm1& w = *window_;
        QDialog* shown = nullptr;
        desk_.onModal = [&](QDialog& dialog) {
            shown = &dialog;
            return 0;
        };
        w.About1->trigger();
        TForm3* about = w.Form3;
        QCOMPARE(shown, static_cast<QDialog*>(about));
        QCOMPARE(about->windowTitle(), QStringLiteral("About"));
        QVERIFY(!about->windowIcon().isNull());
        QCOMPARE(about->Label1->text(), QStringLiteral("Quorvane Pictolith"));
        QCOMPARE(about->Label2->text(), QStringLiteral("Version: 2.15"));
        QVERIFY(about->TntLabel4->font().underline());
        QCOMPARE(about->TntLabel5->cursor().shape(), Qt::PointingHandCursor);

        about->show();
        QVERIFY(QTest::qWaitForWindowExposed(about));
        QTest::mouseClick(about->TntLabel4, Qt::LeftButton);
        QTest::mouseClick(about->TntLabel5, Qt::LeftButton);
        QCOMPARE(desk_.opened.size(), 2);
        QCOMPARE(desk_.opened[0].scheme(), QStringLiteral("mailto"));
        QVERIFY(desk_.opened[0].toString().endsWith(QStringLiteral("?subject=Quorvane Pictolith")));
        QCOMPARE(desk_.opened[1].path(), QStringLiteral("/"));
        QCOMPARE(desk_.opened[1].toString(), QString::fromLatin1(kWebSite) + "/");
        QTest::mouseClick(about->TntButton1, Qt::LeftButton);
        QVERIFY(!about->isVisible());
    }

    void exportRefusals_data() {
        QTest::addColumn<bool>("withFiles");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty list") << false << sandbox_.path()
                                    << "Please select files you want to extract Thumbnail  !";
        QTest::newRow("placeholder") << true << "Please select image output folder->"
                                     << "Please select image output folder!";
        QTest::newRow("missing folder") << true << sandbox_.filePath("no-such-folder")
                                        << "Please select image output folder!";
        QTest::newRow("a file, not a folder") << true << "/etc/hostname" << "Please select image output folder!";
    }

    void exportRefusals() {
        QFETCH(bool, withFiles);
        QFETCH(QString, folder);
        QFETCH(QString, message);
        TForm1& w = *window_;
        if (withFiles) AddFiles({Make("refused.txt")});
        w.TntEdit4->setText(folder);
        w.TntButton1Click();
        QCOMPARE(desk_.messages, QStringList({message}));
        QCOMPARE(desk_.modalCount, 0);
    }

    // The whole road: the dialog's timer starts the run, each file's path and the percentage
    // are shown, the files are written, and the final message says so.
    void exportThroughTheDialog() {
        TForm1& w = *window_;
        QStringList sources;
        for (const char* name : {"one.txt", "two.data", "three"}) sources << Make(QString::fromLatin1(name));
        AddFiles(sources);
        const QString out = MakeDir("out-full");
        w.TntEdit4->setText(out);   // no trailing "/"
        w.TntComboBox1->setCurrentText(QStringLiteral(".bmp"));
        w.TntEdit1->setText(QStringLiteral("100"));

        QStringList seen;   // at each pass of the event loop: path shown and percentage
        desk_.onModal = [&](QDialog& dialog) {
            auto& form = static_cast<TForm4&>(dialog);
            [&] {
                QCOMPARE(form.windowTitle(), QStringLiteral("Working..."));
                QVERIFY(!(form.windowFlags() & Qt::WindowCloseButtonHint));
                QCOMPARE(form.Label1->text(), QString());
                QCOMPARE(form.Label2->text(), QStringLiteral("0%"));
                QCOMPARE(form.TntButton1->text(), QStringLiteral("Cancel"));
                QCOMPARE(form.Timer1->interval(), 500);
                QVERIFY(form.Timer1->isActive());
            }();
            QTimer watch;
            QObject::connect(&watch, &QTimer::timeout, [&] {
                const QString entry = form.Label1->text() + " " + form.Label2->text();
                if (!form.Label1->text().isEmpty() && (seen.isEmpty() || seen.last() != entry)) seen << entry;
            });
            watch.start(0);
            QSignalSpy finished(&form, &QDialog::finished);
            // The real timer starts the run: wait for the dialog to close itself.
            const bool closed = QTest::qWaitFor([&] { return finished.count() == 1; }, 60000);
            [&] {
                QVERIFY(closed);
                QVERIFY(!form.Timer1->isActive());
                QCOMPARE(form.Label2->text(), QStringLiteral("100%"));
                QCOMPARE(form.ProgressBar1->value(), 100);
                QCOMPARE(form.ProgressBar1->maximum(), 100);
            }();
            return form.result();
        };
        w.TntButton1->click();
        QCOMPARE(desk_.modalCount, 1);
        QCOMPARE(seen, QStringList({sources[0] + " 0%", sources[1] + " 33%", sources[2] + " 67%"}));
        QCOMPARE(desk_.messages, QStringList({"Images has been generated!"}));
        for (const char* name : {"one.bmp", "two.bmp", "three.bmp"}) {
            QImageReader reader(out + "/" + name);
            QCOMPARE(reader.format(), QByteArray("bmp"));
            const QImage image = reader.read();
            QVERIFY2(!image.isNull(), name);
            QCOMPARE(image.size(), QSize(100, 100));
        }
    }

    void cancelDuringAFile_data() {
        QTest::addColumn<int>("cancelAt");
        QTest::newRow("during file 2 of 4") << 1;
        QTest::newRow("during the last file") << 3;
    }

    void cancelDuringAFile() {
        QFETCH(int, cancelAt);
        TForm1& w = *window_;
        QStringList sources;
        for (int i = 0; i < 4; ++i) sources << Make(QStringLiteral("c%1.txt").arg(i));
        AddFiles(sources);
        const QString out = MakeDir(QStringLiteral("out-cancel-%1").arg(cancelAt));
        w.TntEdit4->setText(out + "/");
        w.TntComboBox1->setCurrentText(QStringLiteral(".bmp"));

        int cancelFlag = -1;
        desk_.onModal = [&](QDialog& dialog) {
            auto& form = static_cast<TForm4&>(dialog);
            // Cancel is clicked while the chosen file is the one shown, as a user would.
            QTimer watch;
            QObject::connect(&watch, &QTimer::timeout, [&] {
                if (form.Label1->text() == sources[cancelAt]) form.TntButton1->click();
            });
            watch.start(0);
            form.Timer1Timer();
            cancelFlag = form.CancelFlag;
            return form.result();
        };
        w.TntButton1Click();
        QCOMPARE(cancelFlag, 1);
        QCOMPARE(desk_.messages, QStringList());
        for (int i = 0; i < 4; ++i) {
            const bool written = QFile::exists(QStringLiteral("%1/c%2.bmp").arg(out).arg(i));
            QVERIFY2(written == (i <= cancelAt), qPrintable(QStringLiteral("file %1").arg(i)));
        }
    }

    // A file that cannot be written is reported at the end; the others are written, and a listed
    // source is never overwritten by an output.
    void exportReportsFailedFiles() {
        TForm1& w = *window_;
        const QString out = MakeDir("out-errors");
        const QString good = Make("good.txt");
        const QString blocked = Make("blocked.txt");
        MakeDir("out-errors/blocked.bmp");   // a folder where the output should go
        const QString source = out + "/self.bmp";
        WriteFile(source, "BM not really");
        AddFiles({good, blocked, source});
        w.TntEdit4->setText(out);
        w.TntComboBox1->setCurrentText(QStringLiteral(".bmp"));
        desk_.onModal = [](QDialog& dialog) {
            static_cast<TForm4&>(dialog).Timer1Timer();
            return dialog.result();
        };
        w.TntButton1Click();
        QCOMPARE(desk_.messages,
                 QStringList({"Some errors happened because bad file format or file is opend by other application"}));
        QImageReader reader(out + "/good.bmp");
        QVERIFY(!reader.read().isNull());
        QVERIFY(QFileInfo(out + "/blocked.bmp").isDir());
        QFile self(source);
        QVERIFY(self.open(QIODevice::ReadOnly));
        QCOMPARE(self.readAll(), QByteArray("BM not really"));
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
