#pragma once

#include <optional>

#include <QImage>
#include <QList>
#include <QRect>
#include <QStringList>

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

inline const QRect kOpenButtonRect{520, 100, 197, 48};
inline const QRect kSaveButtonRect{520, 188, 197, 48};
inline const QRect kExitButtonRect{520, 276, 197, 48};
inline const QRect kButtonColumn{520, 100, 197, 224};
inline const QRect kPhotoFrame{280, 83, 177, 228};

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
