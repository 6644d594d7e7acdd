#pragma once

#include <optional>

#include <QImage>
#include <QList>
#include <QRect>
#include <QStringList>

#include "present/WindowLayout.h"
#include "shell/UserPrompts.h"
#include "shell/VetrixDlg.h"

/// Answers the window's questions from queues and records its messages; never shows anything.
class FakePrompts : public IUserPrompts {
public:
    /// Paths to answer with, in turn; an empty queue answers "cancel".
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

/// The main window on a screen of a chosen size and scale, recording the cursor at each
/// verdict.
class TestDlg : public CVetrixDlg {
public:
    explicit TestDlg(FakePrompts& prompts) : CVetrixDlg(prompts) { prompts.window = this; }

    QSize screen{1920, 1080};  ///< in device pixels
    qreal scale = 0;           ///< the desktop's scale factor; 0 for the real screen's
    QList<bool> waitCursorAtVerdict;

protected:
    QSize PrimaryScreenSize() const override { return screen; }
    qreal DesktopScale() const override { return scale > 0 ? scale : CVetrixDlg::DesktopScale(); }
    void WriteVerdictLine(const std::string& line) override;
};

inline QRect ToQRect(const layout::Box& box) {
    return {box.x, box.y, box.width, box.height};
}

inline const QRect kOpenButtonRect = ToQRect(layout::kOpenButton);
inline const QRect kSaveButtonRect = ToQRect(layout::kSaveButton);
inline const QRect kExitButtonRect = ToQRect(layout::kExitButton);
/// From the top of the open button to the bottom of the exit button.
inline const QRect kButtonColumn = kOpenButtonRect | kExitButtonRect;
inline const QRect kPhotoFrame = ToQRect(layout::kResultPhotoFrame);

/// What the widget shows, as 32-bit RGB.
QImage Grab(QWidget& widget);
/// The first point of `area`, outside `excluded`, where the two images differ.
std::optional<QPoint> FirstDifference(const QImage& a, const QImage& b, const QRect& area,
                                      const QRect& excluded = {});
/// Whether the window shows the skin of `state` everywhere but on the buttons and `excluded`.
bool ShowsSkinOf(QWidget& window, int state, const QRect& excluded = {});
/// Whether `button` of the window shows the middle of `picture` unchanged.
bool ButtonShows(QWidget& window, const QRect& button, const QString& picture);

/// The run log in the working directory (empty when there is none).
QByteArray ReadRunLog();
/// True when `entry` is a time stamp, a tab, then exactly `text`.
bool IsLogEntry(const QByteArray& entry, const QByteArray& text);

/// The path of a file in tests/data.
QString DataFile(const QString& name);
