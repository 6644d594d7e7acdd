#include "shell/UserPrompts.h"

#include <QFileDialog>
#include <QMessageBox>

namespace {

// Qt's own dialog on Linux desktops, so that the label, the patterns and their case rule are the
// same on all of them; on Windows the system's own, which its users know and which Qt's dialog
// only imitates.
void ChooseDialogKind(QFileDialog& chooser) {
#ifndef Q_OS_WIN
    chooser.setOption(QFileDialog::DontUseNativeDialog);
#else
    Q_UNUSED(chooser);
#endif
}

std::optional<QString> RunChooser(QFileDialog& chooser) {
    if (chooser.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    const QStringList files = chooser.selectedFiles();
    if (files.isEmpty() || files.front().isEmpty()) {
        return std::nullopt;
    }
    return files.front();
}

}  // namespace

std::unique_ptr<QFileDialog> MakeOpenChooser(QWidget* parent) {
    auto chooser = std::make_unique<QFileDialog>(parent);
    ChooseDialogKind(*chooser);
    chooser->setWindowTitle(QObject::tr("打开照片"));
    chooser->setAcceptMode(QFileDialog::AcceptOpen);
    chooser->setFileMode(QFileDialog::ExistingFile);
    // The label lists the suffixes in its own words; the patterns in the last parentheses do
    // the matching and stay hidden.
    chooser->setOption(QFileDialog::HideNameFilterDetails);
    // Qt's chooser matches these without regard to case, so IMG_0001.JPG is offered too.
    chooser->setNameFilter(kOpenFilterLabel + QStringLiteral(" (*.jpg *.jpeg *.jpe)"));
    return chooser;
}

std::unique_ptr<QFileDialog> MakeSaveChooser(QWidget* parent) {
    auto chooser = std::make_unique<QFileDialog>(parent);
    ChooseDialogKind(*chooser);
    chooser->setWindowTitle(QObject::tr("保存照片"));
    chooser->setAcceptMode(QFileDialog::AcceptSave);
    chooser->setFileMode(QFileDialog::AnyFile);
    chooser->setNameFilter(kSaveFilter);
    chooser->setDefaultSuffix(QStringLiteral("jpg"));
    chooser->selectFile(kSaveInitialName);
    // Replacing an existing file is confirmed by the dialog (QFileDialog asks unless
    // DontConfirmOverwrite is set).
    return chooser;
}

std::optional<QString> CQtUserPrompts::ChooseOpenPath(QWidget* parent) {
    const auto chooser = MakeOpenChooser(parent);
    return RunChooser(*chooser);
}

std::optional<QString> CQtUserPrompts::ChooseSavePath(QWidget* parent) {
    const auto chooser = MakeSaveChooser(parent);
    return RunChooser(*chooser);
}

void CQtUserPrompts::ShowMessage(QWidget* parent, const QString& text) {
    QMessageBox::warning(parent, QStringLiteral("Vetrix"), text);
}
