// Opening photos in the main window: the picture, the log line and the save button of each
// verdict; saving the approved photo; cancelled and failed choices.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/Compose.h"
#include "engine/Export.h"
#include "engine/ResultState.h"
#include "log/Log.h"
#include "shell/Pictures.h"
#include "shell_test_support.h"

namespace {

// Photos of tests/data, one per verdict that needs a face.
const QString kPassedPhoto = QStringLiteral("pass_red_test4_240x320.jpg");
const QString kBadBackgroundPhoto = QStringLiteral("bg_green_test3.jpg");
const QString kBadProportionPhoto = QStringLiteral("prop_face_low_white_test4.jpg");
const QString kBadSizePhoto = QStringLiteral("size_landscape_300x215_red_test2.jpg");

const QRect kFrame{kResultPhotoFrame.x, kResultPhotoFrame.y, kResultPhotoFrame.width,
                   kResultPhotoFrame.height};

// The picture region that shows the verdict: everything but the buttons.
bool ShowsSkinOf(QWidget& dlg, int state, const QRect& alsoExcluded = {}) {
    const QImage shown = Grab(dlg);
    const QImage skin = Picture(pictures::SkinFor(state));
    for (int y = 0; y < 600; ++y) {
        for (int x = 0; x < 800; ++x) {
            if (kButtonColumn.contains(x, y) || alsoExcluded.contains(x, y)) {
                continue;
            }
            if (shown.pixel(x, y) != skin.pixel(x, y)) {
                qWarning("window differs from the skin of state %d at (%d, %d)", state, x, y);
                return false;
            }
        }
    }
    return true;
}

bool SaveButtonShowsGreen(QWidget& dlg) {
    return !FirstDifferenceAt(Grab(dlg), kSaveButtonRect, Picture(pictures::kButtonSave));
}

bool SaveButtonShowsGrey(QWidget& dlg) {
    return !FirstDifferenceAt(Grab(dlg), kSaveButtonRect,
                              Picture(pictures::kButtonSaveGrey).copy(2, 2, 197, 48));
}

}  // namespace

class ShellVerdictTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void openingShowsTheVerdict_data();
    void openingShowsTheVerdict();
    void passedFrameShowsTheNormalisedPhoto();
    void openingAfterPassedGreysTheSaveButtonFirst();
    void cancelledOpenChangesNothing_data();
    void cancelledOpenChangesNothing();
    void withoutCascadeEveryPhotoHasNoSinglePortrait();
    void saveWritesTheApprovedPhotoOnce();
    void cancelledSaveReturnsToIdle();
    void failedSaveKeepsThePhotoSaveable();

private:
    // A started, shown window whose choosers answer from `prompts`.
    std::unique_ptr<TestDlg> StartWindow(FakePrompts& prompts);
    // Opens `path` with the open button.
    void Open(TestDlg& dlg, FakePrompts& prompts, const QString& path);

    QTemporaryDir m_workDir;
    QString m_textNamedJpg;
    QString m_plainWhite;
    QString m_oddName;
};

void ShellVerdictTest::initTestCase() {
    QVERIFY(m_workDir.isValid());
    QVERIFY(QDir::setCurrent(m_workDir.path()));

    m_textNamedJpg = m_workDir.filePath(QStringLiteral("not_a_photo.jpg"));
    QFile text(m_textNamedJpg);
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write(QByteArray(40000, 'x'));
    text.close();

    // Large enough in bytes and pixels, a plain white background, and nobody in it.
    m_plainWhite = m_workDir.filePath(QStringLiteral("plain_white.jpg"));
    QVERIFY(cv::imwrite(m_plainWhite.toStdString(), cv::Mat(500, 400, CV_8UC3, cv::Scalar::all(255))));

    // The passed photo under a name with CJK characters, a space and a per-cent sign, which
    // the log line must carry unchanged.
    const QString passed = DataFile(kPassedPhoto);
    if (!passed.isEmpty()) {
        m_oddName = m_workDir.filePath(QStringLiteral("证件照 100%.jpg"));
        QVERIFY(QFile::copy(passed, m_oddName));
    }
}

void ShellVerdictTest::cleanup() {
    QVERIFY2(!theLog.IsOpen(), "a window left the run log open");
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
}

std::unique_ptr<TestDlg> ShellVerdictTest::StartWindow(FakePrompts& prompts) {
    auto dlg = std::make_unique<TestDlg>(prompts);
    if (!dlg->OnInitDialog()) {
        return nullptr;
    }
    dlg->show();
    if (!QTest::qWaitForWindowExposed(dlg.get())) {
        return nullptr;
    }
    return dlg;
}

void ShellVerdictTest::Open(TestDlg& dlg, FakePrompts& prompts, const QString& path) {
    prompts.openAnswers.push_back(path);
    QTest::mouseClick(&dlg.m_btnOpen, Qt::LeftButton);
}

void ShellVerdictTest::openingShowsTheVerdict_data() {
    QTest::addColumn<QString>("photo");  // a tests/data name, or a path made by initTestCase
    QTest::addColumn<int>("state");
    QTest::newRow("Passed") << kPassedPhoto << int(Passed);
    QTest::newRow("Passed, CJK name with a per-cent sign") << m_oddName << int(Passed);
    QTest::newRow("BadBackground") << kBadBackgroundPhoto << int(BadBackground);
    QTest::newRow("BadFormat") << m_textNamedJpg << int(BadFormat);
    QTest::newRow("NoSinglePortrait") << m_plainWhite << int(NoSinglePortrait);
    QTest::newRow("BadProportion") << kBadProportionPhoto << int(BadProportion);
    QTest::newRow("BadSize") << kBadSizePhoto << int(BadSize);
}

void ShellVerdictTest::openingShowsTheVerdict() {
    QFETCH(QString, photo);
    QFETCH(int, state);
    const QString path = photo.isEmpty() || QDir::isAbsolutePath(photo) ? photo : DataFile(photo);
    if (path.isEmpty()) {
        QSKIP("tests/data lacks the photo");
    }

    FakePrompts prompts;
    auto dlg = StartWindow(prompts);
    QVERIFY(dlg);
    const QByteArray logBefore = ReadRunLog();
    Open(*dlg, prompts, path);

    QCOMPARE(prompts.openAsked, 1);
    QCOMPARE(dlg->m_nState, state);
    QCOMPARE(dlg->m_strPath, QFile::encodeName(path).toStdString());
    const QByteArray fileName = QFileInfo(path).fileName().toUtf8();
    QCOMPARE(dlg->m_strFileName, fileName.toStdString());

    // Exactly one log entry: the file name directly followed by the message.
    const QByteArray log = ReadRunLog();
    QVERIFY(log.startsWith(logBefore));
    const QByteArray entry = log.mid(logBefore.size());
    QVERIFY2(IsLogEntry(entry, fileName + ResultMessage(state) + "\r\n"), entry.constData());

    // The audit ran under the wait cursor, which is gone again.
    QCOMPARE(dlg->waitCursorAtVerdict, QList<bool>{true});
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);

    // Only an approved photo can be saved.
    QCOMPARE(dlg->m_btnSave.isEnabled(), state == Passed);
    QVERIFY(state == Passed ? SaveButtonShowsGreen(*dlg) : SaveButtonShowsGrey(*dlg));
    QVERIFY(dlg->m_btnOpen.isEnabled());

    // The window shows the verdict's picture (the photo frame is checked on its own).
    QVERIFY(ShowsSkinOf(*dlg, state, state == Passed ? kFrame : QRect()));
    QVERIFY(prompts.messages.isEmpty());
}

void ShellVerdictTest::passedFrameShowsTheNormalisedPhoto() {
    const QString path = DataFile(kPassedPhoto);
    if (path.isEmpty()) {
        QSKIP("tests/data lacks the passed photo");
    }
    FakePrompts prompts;
    auto dlg = StartWindow(prompts);
    QVERIFY(dlg);
    Open(*dlg, prompts, path);
    QCOMPARE(dlg->m_nState, int(Passed));
    QVERIFY(!dlg->m_matResult.empty());

    // The frame holds the normalised photo stretched bilinearly to 177 x 228, in the right
    // colours, and nothing outside the frame belongs to the photo.
    cv::Mat scaled;
    cv::resize(dlg->m_matResult, scaled, cv::Size(177, 228), 0, 0, cv::INTER_LINEAR);
    const QImage shown = Grab(*dlg);
    for (int y = 0; y < 228; ++y) {
        for (int x = 0; x < 177; ++x) {
            const cv::Vec3b bgr = scaled.at<cv::Vec3b>(y, x);
            const QRgb expected = qRgb(bgr[2], bgr[1], bgr[0]);
            if (shown.pixel(280 + x, 83 + y) != expected) {
                QFAIL(qPrintable(QStringLiteral("frame pixel (%1, %2) differs").arg(x).arg(y)));
            }
        }
    }
    QVERIFY(ShowsSkinOf(*dlg, Passed, kFrame));

    // Covering and showing the window again paints the same picture.
    dlg->hide();
    dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg.get()));
    QCOMPARE(FirstDifference(Grab(*dlg), shown, shown.rect()), std::nullopt);
}

void ShellVerdictTest::openingAfterPassedGreysTheSaveButtonFirst() {
    const QString passed = DataFile(kPassedPhoto);
    if (passed.isEmpty()) {
        QSKIP("tests/data lacks the passed photo");
    }
    FakePrompts prompts;
    auto dlg = StartWindow(prompts);
    QVERIFY(dlg);
    Open(*dlg, prompts, passed);
    QVERIFY(dlg->m_btnSave.isEnabled());
    const cv::Mat approved = dlg->m_matResult.clone();

    bool saveEnabledWhileChoosing = true;
    bool greyWhileChoosing = false;
    prompts.whileChoosingOpen = [&] {
        saveEnabledWhileChoosing = dlg->m_btnSave.isEnabled();
        greyWhileChoosing = SaveButtonShowsGrey(*dlg);
    };
    Open(*dlg, prompts, m_plainWhite);
    QVERIFY(!saveEnabledWhileChoosing);
    QVERIFY(greyWhileChoosing);

    // The rejection shows its own picture, not the earlier photo; the save button stays off.
    QCOMPARE(dlg->m_nState, int(NoSinglePortrait));
    QVERIFY(ShowsSkinOf(*dlg, NoSinglePortrait));
    QVERIFY(!dlg->m_btnSave.isEnabled());
    QCOMPARE(cv::norm(dlg->m_matResult, approved, cv::NORM_INF), 0.0);
}

void ShellVerdictTest::cancelledOpenChangesNothing_data() {
    QTest::addColumn<bool>("afterPassed");
    QTest::newRow("at start") << false;
    QTest::newRow("after a passed photo") << true;
}

void ShellVerdictTest::cancelledOpenChangesNothing() {
    QFETCH(bool, afterPassed);
    FakePrompts prompts;
    auto dlg = StartWindow(prompts);
    QVERIFY(dlg);
    if (afterPassed) {
        const QString passed = DataFile(kPassedPhoto);
        if (passed.isEmpty()) {
            QSKIP("tests/data lacks the passed photo");
        }
        Open(*dlg, prompts, passed);
        QCOMPARE(dlg->m_nState, int(Passed));
    }
    const int state = dlg->m_nState;
    const std::string pathBefore = dlg->m_strPath;
    const QByteArray logBefore = ReadRunLog();
    const QImage before = Grab(*dlg);

    QTest::mouseClick(&dlg->m_btnOpen, Qt::LeftButton);  // no answer queued: cancelled
    QCOMPARE(prompts.openAsked, afterPassed ? 2 : 1);

    QCOMPARE(dlg->m_nState, state);
    QCOMPARE(dlg->m_strPath, pathBefore);
    QCOMPARE(ReadRunLog(), logBefore);
    QVERIFY(dlg->waitCursorAtVerdict.size() == (afterPassed ? 1 : 0));
    // The picture stays, photo included; only the save button is now off.
    QCOMPARE(FirstDifference(Grab(*dlg), before, before.rect(), kSaveButtonRect), std::nullopt);
    QVERIFY(!dlg->m_btnSave.isEnabled());
    QVERIFY(SaveButtonShowsGrey(*dlg));
    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);
    QCOMPARE(prompts.saveAsked, 0);
}

void ShellVerdictTest::withoutCascadeEveryPhotoHasNoSinglePortrait() {
    const QString passed = DataFile(kPassedPhoto);
    if (passed.isEmpty()) {
        QSKIP("tests/data lacks the passed photo");
    }
    FakePrompts prompts;
    TestDlg dlg(prompts);
    dlg.m_strCascadeFile = "no_such_cascade.xml";
    dlg.m_strSystemCascadeFile.clear();
    QVERIFY(dlg.OnInitDialog());
    QCOMPARE(prompts.messages.size(), 1);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    Open(dlg, prompts, passed);
    QCOMPARE(dlg.m_nState, int(NoSinglePortrait));
    QVERIFY(ShowsSkinOf(dlg, NoSinglePortrait));
    QVERIFY(!dlg.m_btnSave.isEnabled());
}

void ShellVerdictTest::saveWritesTheApprovedPhotoOnce() {
    const QString passed = DataFile(kPassedPhoto);
    if (passed.isEmpty()) {
        QSKIP("tests/data lacks the passed photo");
    }
    QTemporaryDir target;
    const QString savePath = QDir(target.path()).filePath(QStringLiteral("报名照片.jpg"));

    FakePrompts prompts;
    auto dlg = StartWindow(prompts);
    QVERIFY(dlg);
    Open(*dlg, prompts, passed);
    QCOMPARE(dlg->m_nState, int(Passed));
    const QByteArray logBefore = ReadRunLog();

    // While the chooser is open the button looks grey but is still enabled, and the verdict
    // stays on screen.
    bool enabledWhileChoosing = false;
    bool greyWhileChoosing = false;
    int stateWhileChoosing = -1;
    prompts.whileChoosingSave = [&] {
        enabledWhileChoosing = dlg->m_btnSave.isEnabled();
        greyWhileChoosing = SaveButtonShowsGrey(*dlg);
        stateWhileChoosing = dlg->m_nState;
    };
    prompts.saveAnswers.push_back(savePath);
    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);
    QCOMPARE(prompts.saveAsked, 1);
    QVERIFY(enabledWhileChoosing);
    QVERIFY(greyWhileChoosing);
    QCOMPARE(stateWhileChoosing, int(Passed));

    QFile saved(savePath);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QByteArray bytes = saved.readAll();
    const std::vector<std::uint8_t> expected = EncodeApprovedPhoto(dlg->m_matResult);
    QVERIFY(!expected.empty());
    QCOMPARE(bytes, QByteArray(reinterpret_cast<const char*>(expected.data()),
                               static_cast<qsizetype>(expected.size())));

    QVERIFY(prompts.messages.isEmpty());
    QCOMPARE(ReadRunLog(), logBefore);  // saving writes no log line
    QCOMPARE(dlg->m_nState, int(Idle));
    QVERIFY(!dlg->m_btnSave.isEnabled());
    QVERIFY(SaveButtonShowsGrey(*dlg));
    QVERIFY(ShowsSkinOf(*dlg, Idle));
    // A second save of the same photo is impossible.
    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);
    QCOMPARE(prompts.saveAsked, 1);
}

void ShellVerdictTest::cancelledSaveReturnsToIdle() {
    const QString passed = DataFile(kPassedPhoto);
    if (passed.isEmpty()) {
        QSKIP("tests/data lacks the passed photo");
    }
    FakePrompts prompts;
    auto dlg = StartWindow(prompts);
    QVERIFY(dlg);
    Open(*dlg, prompts, passed);
    const QStringList filesBefore = QDir().entryList(QDir::Files);

    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);  // no answer queued: cancelled
    QCOMPARE(prompts.saveAsked, 1);

    QCOMPARE(QDir().entryList(QDir::Files), filesBefore);
    QVERIFY(prompts.messages.isEmpty());
    QCOMPARE(dlg->m_nState, int(Idle));
    QVERIFY(!dlg->m_btnSave.isEnabled());
    QVERIFY(SaveButtonShowsGrey(*dlg));
    QVERIFY(ShowsSkinOf(*dlg, Idle));
}

void ShellVerdictTest::failedSaveKeepsThePhotoSaveable() {
    const QString passed = DataFile(kPassedPhoto);
    if (passed.isEmpty()) {
        QSKIP("tests/data lacks the passed photo");
    }
    QTemporaryDir target;
    // A folder that does not exist cannot be written to, by any user.
    const QString badPath = QDir(target.path()).filePath(QStringLiteral("没有的文件夹/照片.jpg"));
    const QString goodPath = QDir(target.path()).filePath(QStringLiteral("照片.jpg"));

    FakePrompts prompts;
    auto dlg = StartWindow(prompts);
    QVERIFY(dlg);
    Open(*dlg, prompts, passed);
    const QByteArray logBefore = ReadRunLog();

    prompts.saveAnswers.push_back(badPath);
    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);

    QCOMPARE(prompts.messages.size(), 1);
    QVERIFY2(prompts.messages.front().contains(QDir::toNativeSeparators(badPath)),
             qPrintable(prompts.messages.front()));
    QVERIFY(!QFile::exists(badPath));
    QCOMPARE(ReadRunLog(), logBefore);
    // Still the approved photo, still saveable.
    QCOMPARE(dlg->m_nState, int(Passed));
    QVERIFY(dlg->m_btnSave.isEnabled());
    QVERIFY(SaveButtonShowsGreen(*dlg));
    QVERIFY(ShowsSkinOf(*dlg, Passed, kFrame));

    // The user picks another place, and that one works.
    prompts.saveAnswers.push_back(goodPath);
    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);
    QCOMPARE(prompts.saveAsked, 2);
    QCOMPARE(prompts.messages.size(), 1);
    QVERIFY(QFile::exists(goodPath));
    QCOMPARE(dlg->m_nState, int(Idle));
    QVERIFY(!dlg->m_btnSave.isEnabled());
}

QTEST_MAIN(ShellVerdictTest)
#include "shell_verdict_test.moc"
