// The seam between the windows and everything that waits for the user or leaves the program:
// message boxes, the open and folder dialogs, modal windows and links. The windows call only
// these; tests replace them with answers of their own, so no test ever blocks on a dialog.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QDialog;
class QUrl;
class QWidget;

struct TUserDialogs {
    // A plain message box with the program's title and an OK button.
    std::function<void(QWidget* parent, const QString& text)> ShowMessage;
    // The Add-files dialog: several existing files, no filter. Empty when cancelled.
    std::function<QStringList(QWidget* parent)> ChooseFiles;
    // The folder browser with a text box for typing a path. Empty when cancelled.
    std::function<QString(QWidget* parent, const QString& title)> ChooseFolder;
    // Shows `dialog` modally and returns its result.
    std::function<int(QDialog& dialog)> ExecModal;
    // Opens a link, a mail address or a folder with the desktop's handler; failures are ignored.
    std::function<void(const QUrl& url)> OpenUrl;
};

// The real dialogs of the desktop.
TUserDialogs DesktopUserDialogs();
