#pragma once

#include <functional>
#include <optional>

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>

#include "shell/UserPrompts.h"
#include "shell/VetrixDlg.h"

/// Answers the window's questions from queues and records its messages; never shows anything.
class FakePrompts : public IUserPrompts {
public:
    /// Paths to answer with, in turn; a null string, or an empty queue, answers "cancel".
    QStringList openAnswers;
    QStringList saveAnswers;
    int openAsked = 0;
    int saveAsked = 0;
    QStringList messages;
    QList<bool> windowVisibleAtMessage;  ///< whether `window` was visible at each message
    QWidget* window = nullptr;
    std::function<void()> whileChoosingOpen;
    std::function<void()> whileChoosingSave;

    std::optional<QString> ChooseOpenPath(QWidget* parent) override;
    std::optional<QString> ChooseSavePath(QWidget* parent) override;
    void ShowMessage(QWidget* parent, const QString& text) override;
};

/// The main window on a screen of a chosen size, recording the cursor at each verdict.
class TestDlg : public CVetrixDlg {
public:
    explicit TestDlg(FakePrompts& prompts) : CVetrixDlg(prompts) { prompts.window = this; }

    QSize screen{1920, 1080};
    QList<bool> waitCursorAtVerdict;

protected:
    QSize PrimaryScreenSize() const override { return screen; }
    void WriteVerdictLine(const std::string& line) override;
};

/// The buttons' places in the window.
inline const QRect kOpenButtonRect{520, 100, 197, 48};
inline const QRect kSaveButtonRect{520, 188, 197, 48};
inline const QRect kExitButtonRect{520, 276, 197, 48};
/// The column that holds the three buttons.
inline const QRect kButtonColumn{520, 100, 197, 224};

/// A compiled-in picture, as 32-bit RGB.
QImage Picture(const QString& resource);
/// What the widget shows, as 32-bit RGB.
QImage Grab(QWidget& widget);
/// The first point inside `area` (outside `excluded`) where the images differ, or nullopt.
std::optional<QPoint> FirstDifference(const QImage& a, const QImage& b, const QRect& area,
                                      const QRect& excluded = {});
/// `area` of the grabbed window against the same-size `expected`.
std::optional<QPoint> FirstDifferenceAt(const QImage& grab, const QRect& area,
                                        const QImage& expected);

/// The whole run log in the working directory (empty when there is none).
QByteArray ReadRunLog();
/// Its last entry, including the "\r\n" that ends it.
QByteArray LastLogEntry();
/// True when `entry` is a time stamp, a tab, then exactly `text`.
bool IsLogEntry(const QByteArray& entry, const QByteArray& text);

/// A photo of tests/data, or an empty string when it is not there.
QString DataFile(const QString& name);
