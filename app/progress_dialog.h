// TForm4, the progress dialog of an export: it starts the run from its timer, shows the file in
// progress and the percentage, and offers Cancel. The run itself is the export library's.
#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class TForm1;

class TForm4 : public QDialog {
    Q_OBJECT
public:
    // The run reads the list and the settings from `mainWindow`, which must outlive the dialog.
    explicit TForm4(TForm1& mainWindow);

    QLabel* Label1 = nullptr;             // path of the file in progress
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* Label2 = nullptr;             // percentage
    QPushButton* TntButton1 = nullptr;    // Cancel
    QTimer* Timer1 = nullptr;             // 500 ms, off at creation; starts the run once

    int CancelFlag = 0;   // 1 after Cancel
    int ErrorFlag = 0;    // -1 once a file has failed

public slots:
    void Timer1Timer();
    void TntButton1Click();
    void RunExport();

protected:
    // The dialog closes itself when the run ends; Escape and the window manager cannot close it
    // half-way, which would leave the run going on behind a closed dialog.
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

private:
    TForm1& mainWindow_;
    bool finished_ = false;
};
