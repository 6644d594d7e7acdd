#pragma once

#include <memory>
#include <optional>

#include <QString>

class QFileDialog;
class QWidget;

/// The questions and messages that the window puts to the user. The window asks through this
/// interface only, so that a replacement can answer without showing anything.
class IUserPrompts {
public:
    virtual ~IUserPrompts() = default;

    /// Asks for a photo to open. The full path, or nullopt when the user cancelled.
    virtual std::optional<QString> ChooseOpenPath(QWidget* parent) = 0;

    /// Asks where to save the approved photo. The full path (an existing file only after the
    /// user agreed to replace it), or nullopt when the user cancelled.
    virtual std::optional<QString> ChooseSavePath(QWidget* parent) = 0;

    /// Shows a plain message with one OK button and returns when the user has read it.
    virtual void ShowMessage(QWidget* parent, const QString& text) = 0;
};

/// The label of the open chooser's only filter.
inline const QString kOpenFilterLabel = QStringLiteral("JPEG文件(*.jpg,*.jpeg,*.jpe)");
/// The save chooser's only filter.
inline const QString kSaveFilter = QStringLiteral("JPEG文件(*.jpg)");
/// The name that the save chooser proposes.
inline const QString kSaveInitialName = QStringLiteral("报名照片.jpg");

/// The open chooser, configured but not shown: one filter, labelled kOpenFilterLabel, that
/// offers *.jpg, *.jpeg and *.jpe in any mix of upper and lower case.
std::unique_ptr<QFileDialog> MakeOpenChooser(QWidget* parent);

/// The save chooser, configured but not shown: kSaveFilter, the name kSaveInitialName, the
/// suffix "jpg" added to a name typed without one, and a question before a file is replaced.
std::unique_ptr<QFileDialog> MakeSaveChooser(QWidget* parent);

/// The prompts as Qt's modal file dialogs and message boxes.
class CQtUserPrompts : public IUserPrompts {
public:
    std::optional<QString> ChooseOpenPath(QWidget* parent) override;
    std::optional<QString> ChooseSavePath(QWidget* parent) override;
    void ShowMessage(QWidget* parent, const QString& text) override;
};
