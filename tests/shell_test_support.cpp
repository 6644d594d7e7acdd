#include "shell_test_support.h"

#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QWidget>

#include "shell/Pictures.h"

namespace {

std::optional<QString> TakeAnswer(QStringList& answers) {
    const QString answer = answers.isEmpty() ? QString() : answers.takeFirst();
    if (answer.isNull()) {
        return std::nullopt;
    }
    return answer;
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

QImage Picture(const QString& resource) {
    pictures::Register();
    return QImage(resource).convertToFormat(QImage::Format_RGB32);
}

QImage Grab(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

std::optional<QPoint> FirstDifference(const QImage& a, const QImage& b, const QRect& area,
                                      const QRect& excluded) {
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (excluded.contains(x, y)) {
                continue;
            }
            if (!a.valid(x, y) || !b.valid(x, y) || a.pixel(x, y) != b.pixel(x, y)) {
                return QPoint(x, y);
            }
        }
    }
    return std::nullopt;
}

std::optional<QPoint> FirstDifferenceAt(const QImage& grab, const QRect& area,
                                        const QImage& expected) {
    const auto at = FirstDifference(grab.copy(area), expected, QRect(QPoint(0, 0), area.size()));
    if (at) {
        return *at + area.topLeft();
    }
    return std::nullopt;
}

QByteArray ReadRunLog() {
    QFile log(QStringLiteral("Test.log"));
    if (!log.open(QIODevice::ReadOnly)) {
        return {};
    }
    return log.readAll();
}

QByteArray LastLogEntry() {
    const QByteArray log = ReadRunLog();
    if (log.isEmpty()) {
        return {};
    }
    const qsizetype start = log.lastIndexOf('\n', log.size() - 2);
    return log.mid(start + 1);
}

bool IsLogEntry(const QByteArray& entry, const QByteArray& text) {
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\t$"));
    const qsizetype tab = entry.indexOf('\t');
    return tab >= 0 && stamp.match(QString::fromLatin1(entry.left(tab + 1))).hasMatch() &&
           entry.mid(tab + 1) == text;
}

QString DataFile(const QString& name) {
    const QString path = QStringLiteral(VETRIX_TEST_DATA "/") + name;
    return QFile::exists(path) ? path : QString();
}
