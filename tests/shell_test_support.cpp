#include "shell_test_support.h"

#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>

#include "shell/Pictures.h"

namespace {

std::optional<QString> TakeAnswer(QStringList& answers) {
    if (answers.isEmpty()) {
        return std::nullopt;
    }
    return answers.takeFirst();
}

QImage Picture(const QString& resource) {
    pictures::Register();
    return QImage(resource).convertToFormat(QImage::Format_RGB32);
}

}  // namespace

std::optional<QString> FakePrompts::ChooseOpenPath(QWidget* /*parent*/) {
    ++openAsked;
    if (whileChoosingOpen) {
        whileChoosingOpen();
    }
    return TakeAnswer(openAnswers);
}

std::optional<QString> FakePrompts::ChooseSavePath(QWidget* /*parent*/) {
    ++saveAsked;
    if (whileChoosingSave) {
        whileChoosingSave();
    }
    return TakeAnswer(saveAnswers);
}

void FakePrompts::ShowMessage(QWidget* /*parent*/, const QString& text) {
    messages << text;
    windowVisibleAtMessage << (window != nullptr && window->isVisible());
}

void TestDlg::WriteVerdictLine(const std::string& line) {
    const QCursor* cursor = QGuiApplication::overrideCursor();
    waitCursorAtVerdict << (cursor != nullptr && cursor->shape() == Qt::WaitCursor);
    CVetrixDlg::WriteVerdictLine(line);
}

QImage Grab(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

std::optional<QPoint> FirstDifference(const QImage& a, const QImage& b, const QRect& area,
                                      const QRect& excluded) {
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (!excluded.contains(x, y) &&
                (!a.valid(x, y) || !b.valid(x, y) || a.pixel(x, y) != b.pixel(x, y))) {
                return QPoint(x, y);
            }
        }
    }
    return std::nullopt;
}

bool ShowsSkinOf(QWidget& window, int state, const QRect& excluded) {
    const QImage shown = Grab(window);
    const QRect all = excluded.isNull() ? kButtonColumn : kButtonColumn | excluded;
    const auto at = FirstDifference(shown, Picture(pictures::SkinFor(state)), shown.rect(), all);
    if (at) {
        qWarning("the window differs from the skin of state %d at (%d, %d)", state, at->x(),
                 at->y());
    }
    return !at && shown.size() == QSize(800, 600);
}

bool ButtonShows(QWidget& window, const QRect& button, const QString& picture) {
    const QImage full = Picture(picture);
    // A picture larger than its button shows its middle.
    const QPoint margin((full.width() - button.width()) / 2, (full.height() - button.height()) / 2);
    const QImage expected = full.copy(QRect(margin, button.size()));
    return !FirstDifference(Grab(window).copy(button), expected, expected.rect());
}

QByteArray ReadRunLog() {
    QFile log(QStringLiteral("Test.log"));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

bool IsLogEntry(const QByteArray& entry, const QByteArray& text) {
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\t$"));
    const qsizetype tab = entry.indexOf('\t');
    return tab >= 0 && stamp.match(QString::fromLatin1(entry.left(tab + 1))).hasMatch() &&
           entry.mid(tab + 1) == text;
}

QString DataFile(const QString& name) {
    return QStringLiteral(VETRIX_TEST_DATA "/") + name;
}
