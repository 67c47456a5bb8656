// The main window: layout, bindings, the file list commands and the Export command.
#include "app/main_window.h"

#include "app/about_box.h"
#include "app/app_texts.h"
#include "app/progress_dialog.h"
#include "app/thumbnail_to_picture.h"
#include "export/file_list.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

constexpr int kPathRole = Qt::UserRole;   // the entry's path bytes (QByteArray)
constexpr int kPreviewSize = 80;

const char kDestinationPlaceholder[] = "Please select image output folder->";
const char kStatusTip[] =
    "Tips: You can drag and drop files to File list. Mouse double click to remove the file from File list.";

std::string ToBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The bytes of a local file URL's path, exactly as percent-encoded in the URL, so a dropped name
// that is not valid UTF-8 still names its file.
std::string LocalPathBytes(const QUrl& url) {
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
}

// True when the name after the last "/" has a "." (the extension, dot included, is not empty).
bool HasExtension(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

QPushButton* BoldButton(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    QFont bold = button->font();
    bold.setBold(true);
    button->setFont(bold);
    return button;
}

}  // namespace

TForm1::TForm1(TUserDialogs dialogs, QWidget* parent) : QMainWindow(parent), Dialogs(std::move(dialogs)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowIcon(ApplicationIcon());
    resize(696, 506);

    BuildMenus();
    BuildToolBar();

    ListView1 = new QTableWidget(0, 1, this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setHorizontalHeaderLabels({QStringLiteral("File list")});
    ListView1->verticalHeader()->hide();
    ListView1->verticalHeader()->setDefaultSectionSize(ListView1->fontMetrics().height() + 6);
    ListView1->horizontalHeader()->setMinimumSectionSize(210);
    ListView1->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    ListView1->horizontalHeader()->setStretchLastSection(true);
    ListView1->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    ListView1->horizontalHeader()->setSectionsClickable(false);
    ListView1->setShowGrid(true);
    ListView1->setWordWrap(false);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
    ListView1->viewport()->setAcceptDrops(true);
    // The selection stays visible while another control has the focus.
    QPalette palette = ListView1->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    ListView1->setPalette(palette);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setObjectName(QStringLiteral("Splitter1"));
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(ListView1);
    splitter->addWidget(BuildRightPanel());
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);
    setCentralWidget(splitter);

    auto* statusBar = new QStatusBar(this);
    statusBar->setObjectName(QStringLiteral("TntStatusBar1"));
    statusBar->setSizeGripEnabled(true);
    TntStatusBar1Panel = new QLabel(QString::fromLatin1(kStatusTip), statusBar);
    TntStatusBar1Panel->setObjectName(QStringLiteral("TntStatusBar1Panel"));
    TntStatusBar1Panel->setMinimumWidth(540);
    statusBar->addWidget(TntStatusBar1Panel, 1);
    setStatusBar(statusBar);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    auto addPopupItem = [this](QAction*& action, const char* name, const QString& text) {
        action = PopupMenu1->addAction(text);
        action->setObjectName(QString::fromLatin1(name));
    };
    addPopupItem(Addfiles1, "Addfiles1", QStringLiteral("Add files"));
    addPopupItem(Addfolder1, "Addfolder1", QStringLiteral("Add folder"));
    addPopupItem(Remove1, "Remove1", QStringLiteral("Remove"));
    addPopupItem(Removeall1, "Removeall1", QStringLiteral("Remove all"));
    addPopupItem(ExporttoCSV1, "ExporttoCSV1", QStringLiteral("Export to CSV"));

    connect(ToolButton1, &QToolButton::clicked, this, &TForm1::ToolButton1Click);
    connect(Addfiles1, &QAction::triggered, this, &TForm1::ToolButton1Click);
    connect(ToolButton2, &QToolButton::clicked, this, &TForm1::ToolButton2Click);
    connect(Addfolder1, &QAction::triggered, this, &TForm1::ToolButton2Click);
    connect(ToolButton3, &QToolButton::clicked, this, &TForm1::ToolButton3Click);
    connect(Remove1, &QAction::triggered, this, &TForm1::ToolButton3Click);
    connect(ToolButton4, &QToolButton::clicked, this, &TForm1::ToolButton4Click);
    connect(Removeall1, &QAction::triggered, this, &TForm1::ToolButton4Click);
    connect(ToolButton5, &QToolButton::clicked, this, &TForm1::ToolButton5Click);
    connect(ExporttoCSV1, &QAction::triggered, this, &TForm1::ToolButton5Click);
    connect(ListView1, &QTableWidget::doubleClicked, this, &TForm1::ListView1DblClick);
    connect(ListView1->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TForm1::ListView1SelectionChanged);
    connect(ListView1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PopupMenu1->popup(ListView1->viewport()->mapToGlobal(pos)); });
    connect(TntButton1, &QPushButton::clicked, this, &TForm1::TntButton1Click);
    connect(TntButton2, &QPushButton::clicked, this, &TForm1::TntButton2Click);
    connect(Exit1, &QAction::triggered, this, &TForm1::Exit1Click);
    connect(Help2, &QAction::triggered, this, &TForm1::Help2Click);
    connect(QuorvaneWebsite1, &QAction::triggered, this, &TForm1::QuorvaneWebsite1Click);
    connect(EmailSupport1, &QAction::triggered, this, &TForm1::EmailSupport1Click);
    connect(About1, &QAction::triggered, this, &TForm1::About1Click);
    connect(TntSpeedButton1, &QToolButton::clicked, this, &TForm1::TntSpeedButton1Click);
    connect(TntButton3, &QPushButton::clicked, this, &TForm1::TntButton3Click);

    Form3 = new TForm3(Dialogs, this);
    Form3->hide();

    TntFormCreate();
    UpdateButtons();
}

TForm1::~TForm1() { qApp->removeEventFilter(this); }

void TForm1::TntFormCreate() {
    setWindowTitle(QString::fromLatin1(kApplicationTitle));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    // Drops on the list are taken before the list view sees them, like every other event the
    // application dispatches.
    qApp->installEventFilter(this);
}

void TForm1::BuildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("File"));
    file->setObjectName(QStringLiteral("File1"));
    Exit1 = file->addAction(QStringLiteral("Exit"));
    Exit1->setObjectName(QStringLiteral("Exit1"));

    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("Help1"));
    Help2 = help->addAction(QStringLiteral("Help"));
    Help2->setObjectName(QStringLiteral("Help2"));
    QuorvaneWebsite1 = help->addAction(QStringLiteral("Quorvane Website"));
    QuorvaneWebsite1->setObjectName(QStringLiteral("QuorvaneWebsite1"));
    EmailSupport1 = help->addAction(QStringLiteral("Email Support"));
    EmailSupport1->setObjectName(QStringLiteral("EmailSupport1"));
    About1 = help->addAction(QStringLiteral("About"));
    About1->setObjectName(QStringLiteral("About1"));
}

void TForm1::BuildToolBar() {
    TntToolBar1 = new QToolBar(this);
    TntToolBar1->setObjectName(QStringLiteral("TntToolBar1"));
    TntToolBar1->setMovable(false);
    TntToolBar1->setFloatable(false);
    TntToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
    TntToolBar1->setIconSize(QSize(16, 16));
    TntToolBar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    addToolBar(Qt::TopToolBarArea, TntToolBar1);

    auto addButton = [this](const char* name, const QString& text, QStyle::StandardPixmap icon) {
        auto* button = new QToolButton(TntToolBar1);
        button->setObjectName(QString::fromLatin1(name));
        button->setText(text);
        button->setIcon(style()->standardIcon(icon));
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        button->setAutoRaise(true);
        button->setMinimumSize(63, 36);
        TntToolBar1->addWidget(button);
        return button;
    };
    ToolButton1 = addButton("ToolButton1", QStringLiteral("Add files"), QStyle::SP_FileIcon);
    ToolButton2 = addButton("ToolButton2", QStringLiteral("Add folder"), QStyle::SP_DirIcon);
    ToolButton3 = addButton("ToolButton3", QStringLiteral("Remove"), QStyle::SP_DialogCancelButton);
    ToolButton4 = addButton("ToolButton4", QStringLiteral("Remove all"), QStyle::SP_TrashIcon);
    ToolButton5 = addButton("ToolButton5", QStringLiteral("Help on line"), QStyle::SP_MessageBoxQuestion);
}

QWidget* TForm1::BuildRightPanel() {
    TntPanel1 = new QWidget(this);
    TntPanel1->setObjectName(QStringLiteral("TntPanel1"));
    TntPanel1->setFixedWidth(280);

    GroupBox1 = new QGroupBox(QStringLiteral("Thumbnail"), TntPanel1);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setCursor(Qt::PointingHandCursor);
    Image1 = new QLabel(GroupBox1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setFixedSize(kPreviewSize, kPreviewSize);
    Image1->setAlignment(Qt::AlignCenter);
    Image1->hide();
    Label1 = new QLabel(QStringLiteral("How to start?"), GroupBox1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignCenter);
    QFont redBold = Label1->font();
    redBold.setBold(true);
    Label1->setFont(redBold);
    QPalette red = Label1->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    Label1->setPalette(red);
    // The label lies over the picture's place; the box keeps the picture's height either way.
    auto* preview = new QGridLayout(GroupBox1);
    preview->addWidget(Image1, 0, 0, Qt::AlignCenter);
    preview->addWidget(Label1, 0, 0, Qt::AlignCenter);
    preview->setRowMinimumHeight(0, kPreviewSize);

    TntGroupBox3 = new QGroupBox(QStringLiteral("Output setting"), TntPanel1);
    TntGroupBox3->setObjectName(QStringLiteral("TntGroupBox3"));
    TntComboBox1 = new QComboBox(TntGroupBox3);
    TntComboBox1->setObjectName(QStringLiteral("TntComboBox1"));
    TntComboBox1->addItems({QStringLiteral(".jpg"), QStringLiteral(".jpeg"), QStringLiteral(".bmp"),
                            QStringLiteral(".gif"), QStringLiteral(".png")});
    TntComboBox1->setCurrentIndex(0);
    TntEdit1 = new QLineEdit(QStringLiteral("128"), TntGroupBox3);
    TntEdit1->setObjectName(QStringLiteral("TntEdit1"));
    TntEdit1->setMaximumWidth(60);
    TntEdit4 = new QLineEdit(QString::fromLatin1(kDestinationPlaceholder), TntGroupBox3);
    TntEdit4->setObjectName(QStringLiteral("TntEdit4"));
    TntSpeedButton1 = new QToolButton(TntGroupBox3);
    TntSpeedButton1->setObjectName(QStringLiteral("TntSpeedButton1"));
    TntSpeedButton1->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    TntSpeedButton1->setToolTip(QStringLiteral("Please select image output folder"));
    TntButton3 = new QPushButton(QStringLiteral("Open destination folder"), TntGroupBox3);
    TntButton3->setObjectName(QStringLiteral("TntButton3"));

    auto* settings = new QGridLayout(TntGroupBox3);
    settings->addWidget(new QLabel(QStringLiteral("Output Image type:"), TntGroupBox3), 0, 0);
    settings->addWidget(TntComboBox1, 0, 1, 1, 2);
    settings->addWidget(new QLabel(QStringLiteral("Output image size(52-256 pixels):"), TntGroupBox3), 1, 0, 1, 3);
    settings->addWidget(new QLabel(QStringLiteral("Width and Height:"), TntGroupBox3), 2, 0);
    settings->addWidget(TntEdit1, 2, 1);
    settings->addWidget(new QLabel(QStringLiteral("pixels"), TntGroupBox3), 2, 2);
    settings->addWidget(new QLabel(QStringLiteral("Destination folder:"), TntGroupBox3), 3, 0, 1, 3);
    auto* folderRow = new QHBoxLayout;
    folderRow->setSpacing(2);
    folderRow->addWidget(TntEdit4, 1);
    folderRow->addWidget(TntSpeedButton1);
    settings->addLayout(folderRow, 4, 0, 1, 3);
    settings->addWidget(TntButton3, 5, 0, 1, 3);
    settings->setColumnStretch(2, 1);

    TntButton1 = BoldButton(QStringLiteral("Export"), "TntButton1", TntPanel1);
    TntButton2 = BoldButton(QStringLiteral("Exit"), "TntButton2", TntPanel1);
    auto* commands = new QHBoxLayout;
    commands->addWidget(TntButton1);
    commands->addWidget(TntButton2);

    auto* layout = new QVBoxLayout(TntPanel1);
    layout->setContentsMargins(4, 0, 4, 4);
    layout->addWidget(GroupBox1);
    layout->addWidget(TntGroupBox3);
    layout->addStretch(1);
    layout->addLayout(commands);
    return TntPanel1;
}

void TForm1::UpdateButtons() {
    for (QWidget* w : {static_cast<QWidget*>(ToolButton3), static_cast<QWidget*>(ToolButton4),
                       static_cast<QWidget*>(TntButton1)})
        w->setEnabled(false);
    for (QAction* a : {Remove1, Removeall1, ExporttoCSV1}) a->setEnabled(false);
    if (ListView1->rowCount() == 0) return;
    ToolButton4->setEnabled(true);
    ToolButton5->setEnabled(true);
    TntButton1->setEnabled(true);
    Removeall1->setEnabled(true);
    ExporttoCSV1->setEnabled(true);
    if (SelectedRow() >= 0) {
        ToolButton3->setEnabled(true);
        Remove1->setEnabled(true);
    }
}

std::optional<QString> TForm1::BrowseForFolder(QWidget* owner, const QString& title) {
    const QString folder = Dialogs.ChooseFolder(owner, title);
    if (folder.isEmpty()) return std::nullopt;
    return folder;
}

bool TForm1::IsListed(const std::string& path) const { return ::IsListed(ListPaths(), path); }

void TForm1::AddToList(const std::string& path) {
    const QByteArray bytes = QByteArray::fromStdString(path);
    auto* item = new QTableWidgetItem(QFile::decodeName(bytes));
    item->setData(kPathRole, bytes);
    item->setToolTip(item->text());
    const int row = ListView1->rowCount();
    ListView1->insertRow(row);
    ListView1->setItem(row, 0, item);
}

bool TForm1::IsFile(const std::string& path) { return ::IsFile(path); }

std::vector<std::string> TForm1::ListPaths() const {
    std::vector<std::string> paths;
    paths.reserve(ListView1->rowCount());
    for (int row = 0; row < ListView1->rowCount(); ++row)
        paths.push_back(ListView1->item(row, 0)->data(kPathRole).toByteArray().toStdString());
    return paths;
}

TExportSettings TForm1::ReadExportSettings() const {
    TExportSettings settings;
    settings.SizeText = TntEdit1->text().toLocal8Bit().toStdString();
    settings.Type = TntComboBox1->currentText().toStdString();
    settings.Folder = ToBytes(TntEdit4->text());
    return settings;
}

int TForm1::SelectedRow() const {
    const QModelIndexList rows = ListView1->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TForm1::SelectEntry(int row) {
    ListView1->selectRow(row);
    ListView1->scrollToItem(ListView1->item(row, 0));
}

void TForm1::ToolButton1Click() {
    const QStringList chosen = Dialogs.ChooseFiles(this);
    if (chosen.isEmpty()) return;
    std::vector<std::string> listed = ListPaths();
    for (const QString& file : chosen) {
        const std::string path = ToBytes(file);
        if (!::IsListed(listed, path)) {
            AddToList(path);
            listed.push_back(path);
        }
        // Long additions keep the window painted.
        QCoreApplication::processEvents();
    }
    if (ListView1->rowCount() > 0) SelectEntry(ListView1->rowCount() - 1);
}

void TForm1::ToolButton2Click() {
    const std::optional<QString> folder = BrowseForFolder(this, QStringLiteral("Please select folder"));
    if (!folder) return;
    std::vector<std::string> listed = ListPaths();
    bool added = false;
    for (const std::string& path : ListFolderFiles(ToBytes(*folder))) {
        if (::IsListed(listed, path)) continue;
        AddToList(path);
        listed.push_back(path);
        added = true;
    }
    if (added) SelectEntry(ListView1->rowCount() - 1);
}

void TForm1::ToolButton3Click() {
    const int p = SelectedRow();
    if (p < 0) return;
    // Clearing first lets the preview follow: it hides, then shows the neighbour if there is one.
    ListView1->clearSelection();
    ListView1->removeRow(p);
    if (p > 0)
        SelectEntry(p - 1);
    else if (ListView1->rowCount() > 0)
        SelectEntry(0);
    UpdateButtons();
}

void TForm1::ToolButton4Click() {
    ListView1->clearSelection();
    for (int row = ListView1->rowCount() - 1; row >= 0; --row) ListView1->removeRow(row);
    UpdateButtons();
}

void TForm1::ToolButton5Click() { OpenHelpPage(); }

void TForm1::ListView1DblClick() {
    if (SelectedRow() >= 0) ToolButton3Click();
}

void TForm1::ListView1SelectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    // Whole-row selection: one change per row, the row losing the selection first.
    for (const QModelIndex& index : deselected.indexes())
        if (index.column() == 0) ListView1SelectItem(index.row(), false);
    for (const QModelIndex& index : selected.indexes())
        if (index.column() == 0) ListView1SelectItem(index.row(), true);
}

void TForm1::ListView1SelectItem(int row, bool selected) {
    UpdateButtons();
    if (selected) {
        if (!Image1->isVisible()) Image1->show();
        try {
            ThumbnailToPicture(ListView1->item(row, 0)->data(kPathRole).toByteArray().toStdString(), kPreviewSize,
                               *Image1);
        } catch (const std::exception&) {
            // Out of memory or the like: no picture, but the list and the window go on.
            Image1->clear();
        }
        Label1->hide();
    } else {
        Image1->hide();
        Label1->show();
    }
}

void TForm1::ListDropHook(const QList<QUrl>& urls) {
    std::vector<std::string> listed = ListPaths();
    bool added = false;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) continue;
        const std::string path = LocalPathBytes(url);
        if (!IsFile(path)) continue;
        if (path.find("~$") != std::string::npos) continue;
        if (!HasExtension(path)) continue;
        if (::IsListed(listed, path)) continue;
        AddToList(path);
        listed.push_back(path);
        added = true;
    }
    if (added) {
        SelectEntry(ListView1->rowCount() - 1);
        ListView1->setFocus();
    }
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ListView1->viewport()) {
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDropEvent*>(event);
            if (drag->mimeData()->hasUrls()) {
                drag->acceptProposedAction();
                return true;
            }
            break;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            if (drop->mimeData()->hasUrls()) {
                ListDropHook(drop->mimeData()->urls());
                drop->acceptProposedAction();
                return true;   // handled: the list view never sees it
            }
            break;
        }
        default:
            break;
        }
        return false;
    }
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        // Handled once: the release is not passed on to the group box behind the picture.
        if (watched == Image1) return Image1Click(), true;
        if (watched == Label1) return Label1Click(), true;
        if (watched == GroupBox1) return GroupBox1Click(), true;
    }
    return false;
}

void TForm1::TntButton1Click() {
    if (ListView1->rowCount() == 0) {
        Dialogs.ShowMessage(this, QString::fromLatin1(kMessageEmptyList));
        return;
    }
    if (!IsExistingDirectory(ToBytes(TntEdit4->text()))) {
        Dialogs.ShowMessage(this, QString::fromLatin1(kMessageNoFolder));
        return;
    }
    TForm4 dialog(*this);
    dialog.Label1->setText(QString());
    dialog.Label2->setText(QStringLiteral("0%"));
    dialog.CancelFlag = 0;
    dialog.ErrorFlag = 0;
    dialog.Timer1->start();
    Dialogs.ExecModal(dialog);
    if (dialog.CancelFlag != 0) return;
    Dialogs.ShowMessage(this, QString::fromLatin1(dialog.ErrorFlag == -1 ? kMessageErrors : kMessageDone));
}

void TForm1::TntButton2Click() { close(); }

void TForm1::Exit1Click() { close(); }

void TForm1::Help2Click() { OpenHelpPage(); }

void TForm1::QuorvaneWebsite1Click() { Dialogs.OpenUrl(QUrl(WebSiteMenuUrl())); }

void TForm1::EmailSupport1Click() { Dialogs.OpenUrl(QUrl(SupportMailUrl())); }

void TForm1::About1Click() { Dialogs.ExecModal(*Form3); }

void TForm1::TntSpeedButton1Click() {
    const std::optional<QString> folder = BrowseForFolder(this, QStringLiteral("Please select image output folder"));
    if (!folder) return;
    TntEdit4->setText(folder->endsWith(QLatin1Char('/')) ? *folder : *folder + QLatin1Char('/'));
}

void TForm1::TntButton3Click() { Dialogs.OpenUrl(QUrl::fromLocalFile(TntEdit4->text())); }

void TForm1::GroupBox1Click() { OpenHelpPage(); }

void TForm1::Image1Click() { OpenHelpPage(); }

void TForm1::Label1Click() { OpenHelpPage(); }

void TForm1::OpenHelpPage() { Dialogs.OpenUrl(QUrl(HelpPageUrl())); }
