#include "ui/dialogs/dialog_environment.h"

#include <QFileDialog>
#include <QStringList>

namespace korvalo {

std::optional<QString> ChooseFileToSign(QWidget* owner) {
    QFileDialog dialog(owner, QStringLiteral("Выбор файла для подписи"));
    dialog.setObjectName(QStringLiteral("OpenDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return std::nullopt;
    return files.front();
}

}  // namespace korvalo
