// The desktop's own dialogs behind the seam.
#include "app/user_dialogs.h"

#include "app/app_texts.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

TUserDialogs DesktopUserDialogs() {
    TUserDialogs dialogs;
    dialogs.ShowMessage = [](QWidget* parent, const QString& text) {
        QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kApplicationTitle), text, QMessageBox::Ok, parent);
        box.exec();
    };
    dialogs.ChooseFiles = [](QWidget* parent) {
        QFileDialog dialog(parent);
        dialog.setObjectName(QStringLiteral("OpenDialog1"));
        dialog.setFileMode(QFileDialog::ExistingFiles);
        dialog.setSizeGripEnabled(true);
        if (dialog.exec() != QDialog::Accepted) return QStringList();
        return dialog.selectedFiles();
    };
    dialogs.ChooseFolder = [](QWidget* parent, const QString& title) {
        return QFileDialog::getExistingDirectory(parent, title, QString(), QFileDialog::ShowDirsOnly);
    };
    dialogs.ExecModal = [](QDialog& dialog) { return dialog.exec(); };
    dialogs.OpenUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    return dialogs;
}
