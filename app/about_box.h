// TForm3, the About box: program name, version, maker, support mail and web site.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class TLinkLabel;
struct TUserDialogs;

class TForm3 : public QDialog {
    Q_OBJECT
public:
    // `dialogs` opens the links; it must outlive the box.
    TForm3(const TUserDialogs& dialogs, QWidget* parent = nullptr);

    QLabel* Label1 = nullptr;        // the program's title
    QLabel* Label2 = nullptr;        // "Version: 2.15"
    TLinkLabel* TntLabel4 = nullptr; // support mail address
    TLinkLabel* TntLabel5 = nullptr; // web site address
    QPushButton* TntButton1 = nullptr;

public slots:
    void TntLabel4Click();
    void TntLabel5Click();
    void TntButton1Click();

private:
    const TUserDialogs& dialogs_;
};
