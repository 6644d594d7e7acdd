// The window when an audit fails without a verdict, when a photo is a bomb, and when the run
// log cannot be written.

#include <algorithm>
#include <iterator>
#include <new>

#include <QDir>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <opencv2/imgcodecs.hpp>

#include "engine/ResultState.h"
#include "log/Log.h"
#include "shell/Pictures.h"
#include "shell_test_support.h"

namespace {

// The window with a detection step that fails on demand.
class FailingDlg : public TestDlg {
public:
    explicit FailingDlg(FakePrompts& prompts) : TestDlg(prompts) {
        m_findFaces = [this](const cv::Mat& photo) {
            if (outOfMemory) {
                throw std::bad_alloc();
            }
            return DetectFaces(m_faceCascade, photo);
        };
    }
    bool outOfMemory = false;
};

}  // namespace

class ShellFailureTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void failedAuditIsToldAndLeavesTheIdleWindow();
    void bombIsBadSizeWithoutDecoding();
    void logThatIsAFifoIsSkippedWithoutWaiting();

private:
    QTemporaryDir m_workDir;
};

void ShellFailureTest::initTestCase() {
    QVERIFY(m_workDir.isValid());
    QVERIFY(QDir::setCurrent(m_workDir.path()));
}

void ShellFailureTest::cleanup() {
    QVERIFY2(!theLog.IsOpen(), "a window left the run log open");
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    QFile::remove(QStringLiteral("Test.log"));
}

void ShellFailureTest::failedAuditIsToldAndLeavesTheIdleWindow() {
    FakePrompts prompts;
    FailingDlg dlg(prompts);
    QVERIFY(dlg.OnInitDialog());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const QString passed = DataFile(QStringLiteral("pass_red_test4_240x320.jpg"));
    prompts.openAnswers << passed;
    QTest::mouseClick(&dlg.m_btnOpen, Qt::LeftButton);
    QCOMPARE(dlg.m_nState, int(Passed));
    QVERIFY(dlg.m_btnSave.isEnabled());
    const QByteArray logBefore = ReadRunLog();

    dlg.outOfMemory = true;
    prompts.openAnswers << passed;
    QTest::mouseClick(&dlg.m_btnOpen, Qt::LeftButton);

    QCOMPARE(prompts.messages,
             QStringList{QStringLiteral("照片“pass_red_test4_240x320.jpg”无法审核：内存不足")});
    QCOMPARE(dlg.m_nState, int(Idle));
    QVERIFY(!dlg.m_btnSave.isEnabled());
    QVERIFY(dlg.m_matResult.empty());
    QVERIFY(ShowsSkinOf(dlg, Idle));
    QCOMPARE(ReadRunLog(), logBefore);  // the log holds verdicts only

    // A photo that vanished after it was chosen is told the same way, not judged a bad photo.
    dlg.outOfMemory = false;
    prompts.openAnswers << m_workDir.filePath(QStringLiteral("vanished.jpg"));
    QTest::mouseClick(&dlg.m_btnOpen, Qt::LeftButton);
    QCOMPARE(prompts.messages.size(), 2);
    QCOMPARE(prompts.messages.back(),
             QStringLiteral("照片“vanished.jpg”无法审核：文件不存在"));
    QCOMPARE(dlg.m_nState, int(Idle));
    QCOMPARE(ReadRunLog(), logBefore);

    // The window goes on working.
    prompts.openAnswers << passed;
    QTest::mouseClick(&dlg.m_btnOpen, Qt::LeftButton);
    QCOMPARE(dlg.m_nState, int(Passed));
    dlg.close();
}

void ShellFailureTest::bombIsBadSizeWithoutDecoding() {
    // A small JPEG whose frame header claims 30000 x 30000 pixels.
    std::vector<uchar> bytes;
    QVERIFY(cv::imencode(".jpg", cv::Mat(16, 16, CV_8UC3, cv::Scalar::all(200)), bytes));
    const uchar marker[] = {0xFF, 0xC0};
    const auto sof = std::search(bytes.begin(), bytes.end(), std::begin(marker), std::end(marker));
    QVERIFY(sof != bytes.end());
    const std::size_t at = static_cast<std::size_t>(sof - bytes.begin());
    bytes[at + 5] = bytes[at + 7] = 30000 >> 8;
    bytes[at + 6] = bytes[at + 8] = 30000 & 0xFF;
    const QString bomb = m_workDir.filePath(QStringLiteral("bomb.jpg"));
    QFile file(bomb);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    file.close();

    FakePrompts prompts;
    TestDlg dlg(prompts);
    QCOMPARE(dlg.m_options.maxPixels, kDefaultMaxPixels);
    QVERIFY(dlg.OnInitDialog());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    prompts.openAnswers << bomb;
    QTest::mouseClick(&dlg.m_btnOpen, Qt::LeftButton);
    QCOMPARE(dlg.m_nState, int(BadSize));
    QVERIFY(dlg.m_details.tooManyPixels.has_value());
    QVERIFY(prompts.messages.isEmpty());
    QVERIFY(ShowsSkinOf(dlg, BadSize));
    dlg.close();
}

void ShellFailureTest::logThatIsAFifoIsSkippedWithoutWaiting() {
    QVERIFY(mkfifo("Test.log", 0600) == 0);
    FakePrompts prompts;
    TestDlg dlg(prompts);
    QVERIFY(dlg.OnInitDialog());
    QVERIFY(!theLog.IsOpen());
    QVERIFY(prompts.messages.isEmpty());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    prompts.openAnswers << DataFile(QStringLiteral("pass_red_test4_240x320.jpg"));
    QTest::mouseClick(&dlg.m_btnOpen, Qt::LeftButton);
    QCOMPARE(dlg.m_nState, int(Passed));
    dlg.close();
}

QTEST_MAIN(ShellFailureTest)
#include "shell_failure_test.moc"
