// Start-up: the application object, the main window, and the event loop until it closes.
#include "app/app_texts.h"
#include "app/main_window.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pictolith"));
    QApplication::setApplicationVersion(QString::fromLatin1(kApplicationVersion));
    QApplication::setDesktopFileName(QStringLiteral("pictolith"));
    QApplication::setWindowIcon(ApplicationIcon());

    TForm1 mainWindow;
    mainWindow.show();
    return QApplication::exec();
}
