// Opening photos in the main window: the picture, the log line and the save button of each
// verdict; saving the approved photo; cancelled and failed choices.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

#include <opencv2/imgcodecs.hpp>

#include "engine/ResultState.h"
#include "log/Log.h"
#include "shell/Pictures.h"
#include "shell_test_support.h"

class ShellVerdictTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void openingShowsTheVerdict_data();
    void openingShowsTheVerdict();
    void passedFrameShowsTheNormalisedPhoto();
    void rejectionShowsWhatToChange();
    void openingAgainGreysTheSaveButtonFirst();
    void cancelledOpenChangesNothing_data();
    void cancelledOpenChangesNothing();
    void saveWritesTheApprovedPhotoOnce();
    void cancelledSaveReturnsToIdle();
    void failedSaveKeepsThePhotoSaveable();

private:
    // A started and shown window, with `photo` opened unless it is empty; null on failure.
    std::unique_ptr<TestDlg> StartWindow(FakePrompts& prompts, const QString& photo = {});

    QTemporaryDir m_workDir;
    QString m_passed;
    QString m_oddName;
    QString m_textNamedJpg;
    QString m_plainWhite;
};

void ShellVerdictTest::initTestCase() {
    QVERIFY(m_workDir.isValid());
    QVERIFY(QDir::setCurrent(m_workDir.path()));
    m_passed = DataFile(QStringLiteral("pass_red_test4_240x320.jpg"));
    QVERIFY(QFile::exists(m_passed));

    // The passed photo under a name with CJK characters, a space and a per-cent sign, which
    // the log line must carry unchanged.
    m_oddName = m_workDir.filePath(QStringLiteral("证件照 100%.jpg"));
    QVERIFY(QFile::copy(m_passed, m_oddName));

    m_textNamedJpg = m_workDir.filePath(QStringLiteral("not_a_photo.jpg"));
    QFile text(m_textNamedJpg);
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write(QByteArray(40000, 'x'));
    text.close();

    // Large enough in bytes and pixels, a plain background, and nobody in it.
    m_plainWhite = m_workDir.filePath(QStringLiteral("plain_white.jpg"));
    QVERIFY(cv::imwrite(m_plainWhite.toStdString(),
                        cv::Mat(500, 400, CV_8UC3, cv::Scalar::all(255))));
}

void ShellVerdictTest::cleanup() {
    QVERIFY2(!theLog.IsOpen(), "a window left the run log open");
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
}

std::unique_ptr<TestDlg> ShellVerdictTest::StartWindow(FakePrompts& prompts,
                                                       const QString& photo) {
    auto dlg = std::make_unique<TestDlg>(prompts);
    if (!dlg->OnInitDialog()) {
        return nullptr;
    }
    dlg->show();
    if (!QTest::qWaitForWindowExposed(dlg.get())) {
        return nullptr;
    }
    if (!photo.isEmpty()) {
        prompts.openAnswers << photo;
        QTest::mouseClick(&dlg->m_btnOpen, Qt::LeftButton);
    }
    return dlg;
}

void ShellVerdictTest::openingShowsTheVerdict_data() {
    QTest::addColumn<QString>("photo");
    QTest::addColumn<int>("state");
    QTest::newRow("Passed") << m_passed << int(Passed);
    QTest::newRow("Passed, CJK name with a per-cent sign") << m_oddName << int(Passed);
    QTest::newRow("BadBackground") << DataFile("bg_green_test3.jpg") << int(BadBackground);
    QTest::newRow("BadFormat") << m_textNamedJpg << int(BadFormat);
    QTest::newRow("NoSinglePortrait") << m_plainWhite << int(NoSinglePortrait);
    QTest::newRow("BadProportion") << DataFile("prop_face_low_white_test4.jpg")
                                   << int(BadProportion);
    QTest::newRow("BadSize") << DataFile("size_landscape_300x215_red_test2.jpg") << int(BadSize);
}

void ShellVerdictTest::openingShowsTheVerdict() {
    QFETCH(QString, photo);
    QFETCH(int, state);
    QVERIFY(QFile::exists(photo));
    FakePrompts prompts;
    const QByteArray logBefore = ReadRunLog();
    auto dlg = StartWindow(prompts, photo);
    QVERIFY(dlg);

    QCOMPARE(prompts.openAsked, 1);
    QCOMPARE(dlg->m_nState, state);
    QCOMPARE(dlg->m_strPath, QFile::encodeName(photo).toStdString());

    // The start-up entry, then exactly one verdict entry: the file name directly followed by
    // the message.
    const QList<QByteArray> entries = ReadRunLog().mid(logBefore.size()).split('\n');
    QCOMPARE(entries.size(), 3);
    const QByteArray fileName = QFileInfo(photo).fileName().toUtf8();
    QVERIFY2(IsLogEntry(entries[1] + '\n', fileName + ResultMessage(state) + "\r\n"),
             entries[1].constData());

    // The audit ran under the wait cursor, which is gone again.
    QCOMPARE(dlg->waitCursorAtVerdict, QList<bool>{true});
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);

    // Only an approved photo can be saved.
    QCOMPARE(dlg->m_btnSave.isEnabled(), state == Passed);
    QVERIFY(ButtonShows(*dlg, kSaveButtonRect,
                        state == Passed ? pictures::kButtonSave : pictures::kButtonSaveGrey));
    QVERIFY(ButtonShows(*dlg, kOpenButtonRect, pictures::kButtonOpen));

    // The verdict's picture (the photo frame is checked on its own).
    QVERIFY(ShowsSkinOf(*dlg, state, state == Passed ? kPhotoFrame : QRect()));
    QVERIFY(prompts.messages.isEmpty());
}

void ShellVerdictTest::passedFrameShowsTheNormalisedPhoto() {
    FakePrompts prompts;
    auto dlg = StartWindow(prompts, m_passed);
    QVERIFY(dlg);
    QCOMPARE(dlg->m_nState, int(Passed));

    // The normalised photo stretched bilinearly to the frame, in its true colours: the picture
    // recorded in tests/data/expected-window.
    const QImage shown = Grab(*dlg);
    const QString reference =
        DataFile(QStringLiteral("expected-window/passed_frame_pass_red_test4_240x320.png"));
    const QImage expected = QImage(reference).convertToFormat(QImage::Format_RGB32);
    QCOMPARE(expected.size(), kPhotoFrame.size());
    const std::optional<QPoint> differs = FirstDifference(shown.copy(kPhotoFrame), expected,
                                                          expected.rect());
    QVERIFY2(!differs, qPrintable(QStringLiteral("frame pixel (%1, %2) differs from %3")
                                      .arg(differs.value_or(QPoint()).x())
                                      .arg(differs.value_or(QPoint()).y())
                                      .arg(reference)));
    QVERIFY(ShowsSkinOf(*dlg, Passed, kPhotoFrame));

    // Hidden and shown again, the window paints the same picture.
    dlg->hide();
    dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg.get()));
    QCOMPARE(FirstDifference(Grab(*dlg), shown, shown.rect()), std::nullopt);
}

void ShellVerdictTest::rejectionShowsWhatToChange() {
    FakePrompts prompts;
    auto dlg = StartWindow(prompts, DataFile("prop_face_low_white_test4.jpg"));
    QVERIFY(dlg);
    const QString hint = QStringLiteral("下巴以下空间太少，请把肩膀也拍进照片");
    QCOMPARE(dlg->toolTip(), hint);
    QCOMPARE(dlg->accessibleDescription(), hint);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), hint);
    // The hint is a popup of its own: the window still shows the verdict's picture whole.
    QVERIFY(ShowsSkinOf(*dlg, BadProportion));

    // The next verdict brings its own hint, and a passed photo none.
    prompts.openAnswers << DataFile("bg_green_test3.jpg");
    QTest::mouseClick(&dlg->m_btnOpen, Qt::LeftButton);
    QCOMPARE(dlg->toolTip(), QStringLiteral("背景颜色不对，请使用红色、蓝色或白色背景"));
    QTRY_COMPARE(QToolTip::text(), dlg->toolTip());
    prompts.openAnswers << m_passed;
    QTest::mouseClick(&dlg->m_btnOpen, Qt::LeftButton);
    QCOMPARE(dlg->m_nState, int(Passed));
    QVERIFY(dlg->toolTip().isEmpty());
    QTRY_VERIFY(!QToolTip::isVisible());
}

void ShellVerdictTest::openingAgainGreysTheSaveButtonFirst() {
    FakePrompts prompts;
    auto dlg = StartWindow(prompts, m_passed);
    QVERIFY(dlg);
    QVERIFY(dlg->m_btnSave.isEnabled());

    bool enabledWhileChoosing = true;
    bool greyWhileChoosing = false;
    prompts.whileChoosingOpen = [&] {
        enabledWhileChoosing = dlg->m_btnSave.isEnabled();
        greyWhileChoosing = ButtonShows(*dlg, kSaveButtonRect, pictures::kButtonSaveGrey);
    };
    prompts.openAnswers << m_plainWhite;
    QTest::mouseClick(&dlg->m_btnOpen, Qt::LeftButton);
    QVERIFY(!enabledWhileChoosing);
    QVERIFY(greyWhileChoosing);

    // The rejection shows its own picture, not the earlier photo.
    QCOMPARE(dlg->m_nState, int(NoSinglePortrait));
    QVERIFY(ShowsSkinOf(*dlg, NoSinglePortrait));
    QVERIFY(!dlg->m_btnSave.isEnabled());
}

void ShellVerdictTest::cancelledOpenChangesNothing_data() {
    QTest::addColumn<bool>("afterPassed");
    QTest::newRow("at start") << false;
    QTest::newRow("after a passed photo") << true;
}

void ShellVerdictTest::cancelledOpenChangesNothing() {
    QFETCH(bool, afterPassed);
    FakePrompts prompts;
    auto dlg = StartWindow(prompts, afterPassed ? m_passed : QString());
    QVERIFY(dlg);
    const int state = dlg->m_nState;
    const std::string path = dlg->m_strPath;
    const QByteArray log = ReadRunLog();
    const QImage before = Grab(*dlg);

    QTest::mouseClick(&dlg->m_btnOpen, Qt::LeftButton);  // no answer queued: cancelled
    QCOMPARE(prompts.openAsked, afterPassed ? 2 : 1);

    QCOMPARE(dlg->m_nState, state);
    QCOMPARE(dlg->m_strPath, path);
    QCOMPARE(ReadRunLog(), log);
    // The picture stays, photo included; only the save button is now off for good.
    QCOMPARE(FirstDifference(Grab(*dlg), before, before.rect(), kSaveButtonRect), std::nullopt);
    QVERIFY(!dlg->m_btnSave.isEnabled());
    QVERIFY(ButtonShows(*dlg, kSaveButtonRect, pictures::kButtonSaveGrey));
    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);
    QCOMPARE(prompts.saveAsked, 0);
}

void ShellVerdictTest::saveWritesTheApprovedPhotoOnce() {
    QTemporaryDir target;
    const QString savePath = QDir(target.path()).filePath(QStringLiteral("报名照片.jpg"));
    FakePrompts prompts;
    auto dlg = StartWindow(prompts, m_passed);
    QVERIFY(dlg);
    const QByteArray log = ReadRunLog();

    // While the chooser is open the button looks grey but is still enabled, and the verdict
    // stays.
    bool enabledWhileChoosing = false;
    bool greyWhileChoosing = false;
    int stateWhileChoosing = -1;
    prompts.whileChoosingSave = [&] {
        enabledWhileChoosing = dlg->m_btnSave.isEnabled();
        greyWhileChoosing = ButtonShows(*dlg, kSaveButtonRect, pictures::kButtonSaveGrey);
        stateWhileChoosing = dlg->m_nState;
    };
    prompts.saveAnswers << savePath;
    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);
    QCOMPARE(prompts.saveAsked, 1);
    QVERIFY(enabledWhileChoosing);
    QVERIFY(greyWhileChoosing);
    QCOMPARE(stateWhileChoosing, int(Passed));

    QFile saved(savePath);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QFile expected(DataFile(QStringLiteral("expected-saved/pass_red_test4_240x320.jpg")));
    QVERIFY(expected.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), expected.readAll());

    QVERIFY(prompts.messages.isEmpty());
    QCOMPARE(ReadRunLog(), log);  // saving writes no log entry
    QCOMPARE(dlg->m_nState, int(Idle));
    QVERIFY(!dlg->m_btnSave.isEnabled());
    QVERIFY(ButtonShows(*dlg, kSaveButtonRect, pictures::kButtonSaveGrey));
    QVERIFY(ShowsSkinOf(*dlg, Idle));
    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);  // no second save of the same photo
    QCOMPARE(prompts.saveAsked, 1);
}

void ShellVerdictTest::cancelledSaveReturnsToIdle() {
    FakePrompts prompts;
    auto dlg = StartWindow(prompts, m_passed);
    QVERIFY(dlg);
    const QStringList files = QDir().entryList(QDir::Files);

    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);  // no answer queued: cancelled
    QCOMPARE(prompts.saveAsked, 1);

    QCOMPARE(QDir().entryList(QDir::Files), files);
    QVERIFY(prompts.messages.isEmpty());
    QCOMPARE(dlg->m_nState, int(Idle));
    QVERIFY(!dlg->m_btnSave.isEnabled());
    QVERIFY(ShowsSkinOf(*dlg, Idle));
}

void ShellVerdictTest::failedSaveKeepsThePhotoSaveable() {
    QTemporaryDir target;
    // A folder that does not exist cannot be written to, whoever runs the test.
    const QString badPath = QDir(target.path()).filePath(QStringLiteral("没有的文件夹/照片.jpg"));
    const QString goodPath = QDir(target.path()).filePath(QStringLiteral("照片.jpg"));
    FakePrompts prompts;
    auto dlg = StartWindow(prompts, m_passed);
    QVERIFY(dlg);

    prompts.saveAnswers << badPath;
    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);
    QCOMPARE(prompts.messages.size(), 1);
    QVERIFY2(prompts.messages.front().contains(QDir::toNativeSeparators(badPath)),
             qPrintable(prompts.messages.front()));
    QVERIFY(!QFile::exists(badPath));
    // Still the approved photo, and still saveable.
    QCOMPARE(dlg->m_nState, int(Passed));
    QVERIFY(dlg->m_btnSave.isEnabled());
    QVERIFY(ButtonShows(*dlg, kSaveButtonRect, pictures::kButtonSave));
    QVERIFY(ShowsSkinOf(*dlg, Passed, kPhotoFrame));

    // The user picks another place, and that one works.
    prompts.saveAnswers << goodPath;
    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);
    QCOMPARE(prompts.messages.size(), 1);
    QVERIFY(QFile::exists(goodPath));
    QCOMPARE(dlg->m_nState, int(Idle));
    QVERIFY(!dlg->m_btnSave.isEnabled());
}

QTEST_MAIN(ShellVerdictTest)
#include "shell_verdict_test.moc"
