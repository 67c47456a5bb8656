// TForm1, the main window: the file list with its preview, the output settings, the commands,
// the links and the Export command.
#pragma once

#include "app/user_dialogs.h"
#include "export/export_run.h"

#include <QMainWindow>

#include <optional>
#include <string>
#include <vector>

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableWidget;
class QToolBar;
class QToolButton;
class QUrl;
class QItemSelection;
class TForm3;

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // `dialogs` answers every dialog, message box and link; the desktop's own by default.
    explicit TForm1(TUserDialogs dialogs = DesktopUserDialogs(), QWidget* parent = nullptr);
    ~TForm1() override;

    // Enabled states of Remove, Remove all and Export and their menu items, after the list.
    void UpdateButtons();
    // The folder browser; nothing when it was cancelled.
    std::optional<QString> BrowseForFolder(QWidget* owner, const QString& title);

    // The file list. Entries keep their path's bytes; the text shown is decoded from them.
    bool IsListed(const std::string& path) const;
    void AddToList(const std::string& path);
    static bool IsFile(const std::string& path);
    std::vector<std::string> ListPaths() const;

    // The output settings as the export run reads them, from the boxes as they are now.
    TExportSettings ReadExportSettings() const;

    // The drop on the list: the files among `urls` are added as a drop adds them.
    void ListDropHook(const QList<QUrl>& urls);

    TUserDialogs Dialogs;
    TForm3* Form3 = nullptr;

    QToolBar* TntToolBar1 = nullptr;
    QToolButton* ToolButton1 = nullptr;
    QToolButton* ToolButton2 = nullptr;
    QToolButton* ToolButton3 = nullptr;
    QToolButton* ToolButton4 = nullptr;
    QToolButton* ToolButton5 = nullptr;
    QTableWidget* ListView1 = nullptr;
    QWidget* TntPanel1 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QGroupBox* TntGroupBox3 = nullptr;
    QComboBox* TntComboBox1 = nullptr;
    QLineEdit* TntEdit1 = nullptr;
    QLineEdit* TntEdit4 = nullptr;
    QToolButton* TntSpeedButton1 = nullptr;
    QPushButton* TntButton3 = nullptr;
    QPushButton* TntButton1 = nullptr;
    QPushButton* TntButton2 = nullptr;
    QLabel* TntStatusBar1Panel = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* Addfiles1 = nullptr;
    QAction* Addfolder1 = nullptr;
    QAction* Remove1 = nullptr;
    QAction* Removeall1 = nullptr;
    QAction* ExporttoCSV1 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* Help2 = nullptr;
    QAction* QuorvaneWebsite1 = nullptr;
    QAction* EmailSupport1 = nullptr;
    QAction* About1 = nullptr;

public slots:
    void ToolButton1Click();
    void ToolButton2Click();
    void ToolButton3Click();
    void ToolButton4Click();
    void ToolButton5Click();
    void ListView1DblClick();
    void TntButton1Click();
    void TntButton2Click();
    void Exit1Click();
    void Help2Click();
    void QuorvaneWebsite1Click();
    void EmailSupport1Click();
    void About1Click();
    void TntSpeedButton1Click();
    void TntButton3Click();
    void GroupBox1Click();
    void Image1Click();
    void Label1Click();

protected:
    // Installed on the application object: drops aimed at the list, and clicks on the preview.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void TntFormCreate();
    void BuildMenus();
    void BuildToolBar();
    QWidget* BuildRightPanel();
    void ListView1SelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void ListView1SelectItem(int row, bool selected);
    void SelectEntry(int row);
    int SelectedRow() const;
    void OpenHelpPage();
};
