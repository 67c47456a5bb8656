// The progress dialog and the run it drives.
#include "app/progress_dialog.h"

#include "app/app_texts.h"
#include "app/main_window.h"
#include "export/export_run.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

TForm4::TForm4(TForm1& mainWindow) : QDialog(&mainWindow), mainWindow_(mainWindow) {
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("Working..."));
    setWindowIcon(ApplicationIcon());
    // A title bar without any buttons: no close box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setMinimumWidth(289);
    // Long paths are cut at the label's edge instead of widening the dialog.
    Label1->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setMinimumWidth(257);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    Label2 = new QLabel(QStringLiteral("0%"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setMinimumWidth(Label2->fontMetrics().horizontalAdvance(QStringLiteral("100%")));
    TntButton1 = new QPushButton(QStringLiteral("Cancel"), this);
    TntButton1->setObjectName(QStringLiteral("TntButton1"));
    TntButton1->setMinimumSize(75, 25);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(500);

    auto* progress = new QHBoxLayout;
    progress->addWidget(ProgressBar1, 1);
    progress->addWidget(Label2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(TntButton1);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(Label1);
    layout->addLayout(progress);
    layout->addStretch();
    layout->addLayout(buttons);
    resize(318, 119);

    connect(Timer1, &QTimer::timeout, this, &TForm4::Timer1Timer);
    connect(TntButton1, &QPushButton::clicked, this, &TForm4::TntButton1Click);
}

void TForm4::Timer1Timer() {
    Timer1->stop();
    RunExport();
}

void TForm4::TntButton1Click() { CancelFlag = 1; }

void TForm4::RunExport() {
    ProgressBar1->setMaximum(100);
    TExportCallbacks callbacks;
    callbacks.Cancelled = [this] { return CancelFlag == 1; };
    callbacks.ReadSettings = [this] { return mainWindow_.ReadExportSettings(); };
    callbacks.FileStarted = [this](size_t, const std::string& path) {
        Label1->setText(QFile::decodeName(QByteArray::fromStdString(path)));
        // Once per file: repaints, and a click on Cancel.
        QCoreApplication::processEvents();
    };
    callbacks.FileFailed = [this](size_t, const std::string&, const TFileExportResult&) { ErrorFlag = -1; };
    callbacks.FileFinished = [this](size_t, int percent) {
        Label2->setText(QString::number(percent) + QLatin1Char('%'));
        ProgressBar1->setValue(percent);
    };
    const TExportRunResult result = RunExportList(mainWindow_.ListPaths(), callbacks);
    if (result.ErrorFlag) ErrorFlag = -1;
    finished_ = true;
    done(QDialog::Accepted);
}

void TForm4::reject() {
    if (finished_) QDialog::reject();
}

void TForm4::closeEvent(QCloseEvent* event) {
    if (finished_)
        QDialog::closeEvent(event);
    else
        event->ignore();
}
