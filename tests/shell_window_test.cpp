// The main window's start-up, its ways out and its about box.

#include <algorithm>

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include "log/Log.h"
#include "shell/AboutDlg.h"
#include "shell/Pictures.h"
#include "shell_test_support.h"

class ShellWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void startUpLaysOutTheIdleWindow();
    void keyboardMovesTheFocusWithAVisibleCue();
    void screenCheck_data();
    void screenCheck();
    void missingCascadeIsToldBeforeTheWindowShows();
    void waysOut_data();
    void waysOut();
    void contextMenuOpensTheAboutBox_data();
    void contextMenuOpensTheAboutBox();

private:
    QTemporaryDir m_workDir;
};

void ShellWindowTest::initTestCase() {
    // The run log is written to the working directory.
    QVERIFY(m_workDir.isValid());
    QVERIFY(QDir::setCurrent(m_workDir.path()));
}

void ShellWindowTest::cleanup() {
    QVERIFY2(!theLog.IsOpen(), "a window left the run log open");
    const auto tops = QApplication::topLevelWidgets();
    for (QWidget* top : tops) {
        if (top->isVisible()) {
            top->close();
        }
    }
}

void ShellWindowTest::startUpLaysOutTheIdleWindow() {
    const QByteArray logBefore = ReadRunLog();
    FakePrompts prompts;
    TestDlg dlg(prompts);
    QVERIFY(dlg.OnInitDialog());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    QVERIFY(prompts.messages.isEmpty());
    // One entry appended to the run log, which stays open.
    const QByteArray log = ReadRunLog();
    QVERIFY(log.startsWith(logBefore));
    QVERIFY2(IsLogEntry(log.mid(logBefore.size()), "系统启动\r\n"), log.constData());
    QVERIFY(theLog.IsOpen());

    QCOMPARE(dlg.geometry(), QRect(0, 0, 800, 600));
    QCOMPARE(dlg.minimumSize(), QSize(800, 600));
    QCOMPARE(dlg.maximumSize(), QSize(800, 600));
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Vetrix"));
    // A normal window, so that it has a taskbar entry, without frame or caption.
    QCOMPARE(dlg.windowType(), Qt::Window);
    QVERIFY(dlg.windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(!dlg.windowIcon().isNull());

    QCOMPARE(dlg.m_btnOpen.geometry(), kOpenButtonRect);
    QCOMPARE(dlg.m_btnSave.geometry(), kSaveButtonRect);
    QCOMPARE(dlg.m_btnExit.geometry(), kExitButtonRect);
    for (QPushButton* button : {&dlg.m_btnOpen, &dlg.m_btnSave, &dlg.m_btnExit}) {
        QVERIFY(button->isFlat());
        QVERIFY(button->text().isEmpty());
    }
    QVERIFY(dlg.m_btnOpen.isEnabled());
    QVERIFY(!dlg.m_btnSave.isEnabled());
    QVERIFY(dlg.m_btnExit.isEnabled());

    // Focus starts on the open button; the focus chain goes open, save, exit.
    QCOMPARE(dlg.focusWidget(), &dlg.m_btnOpen);
    QCOMPARE(dlg.m_btnOpen.nextInFocusChain(), &dlg.m_btnSave);
    QCOMPARE(dlg.m_btnSave.nextInFocusChain(), &dlg.m_btnExit);

    QCOMPARE(dlg.m_nState, int(Idle));
    QVERIFY(ShowsSkinOf(dlg, Idle));
    QVERIFY(ButtonShows(dlg, kOpenButtonRect, pictures::kButtonOpen));
    QVERIFY(ButtonShows(dlg, kSaveButtonRect, pictures::kButtonSaveGrey));
    QVERIFY(ButtonShows(dlg, kExitButtonRect, pictures::kButtonExit));
}

void ShellWindowTest::keyboardMovesTheFocusWithAVisibleCue() {
    FakePrompts prompts;
    TestDlg dlg(prompts);
    QVERIFY(dlg.OnInitDialog());
    dlg.show();
    dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    QTRY_VERIFY(dlg.m_btnOpen.hasFocus());
    // No cue until the keyboard is used: the pictures show as they are.
    QVERIFY(!dlg.m_btnOpen.ShowsFocusCue());
    QVERIFY(ButtonShows(dlg, kOpenButtonRect, pictures::kButtonOpen));

    // Tab skips the disabled save button.
    QTest::keyClick(dlg.windowHandle(), Qt::Key_Tab);
    QTRY_VERIFY(dlg.m_btnExit.hasFocus());
    QVERIFY(dlg.m_btnExit.ShowsFocusCue());
    QVERIFY(!ButtonShows(dlg, kExitButtonRect, pictures::kButtonExit));
    QVERIFY(ButtonShows(dlg, kOpenButtonRect, pictures::kButtonOpen));

    // Back to the open button, and Space presses it.
    QTest::keyClick(dlg.windowHandle(), Qt::Key_Backtab, Qt::ShiftModifier);
    QTRY_VERIFY(dlg.m_btnOpen.hasFocus());
    QVERIFY(dlg.m_btnOpen.ShowsFocusCue());
    QTest::keyClick(dlg.windowHandle(), Qt::Key_Space);
    QTRY_COMPARE(prompts.openAsked, 1);
}

void ShellWindowTest::screenCheck_data() {
    // The screen in device pixels, the desktop's scale; whether the window starts at that
    // scale, else the lower scale it asks to start again at (0: it refuses the screen).
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<qreal>("desktop");
    QTest::addColumn<bool>("starts");
    QTest::addColumn<qreal>("fitting");
    QTest::newRow("exactly 800 x 600") << QSize(800, 600) << 1.0 << true << 1.0;
    QTest::newRow("large") << QSize(3840, 2160) << 1.0 << true << 1.0;
    QTest::newRow("one column short") << QSize(799, 1080) << 1.0 << false << 0.0;
    QTest::newRow("one row short") << QSize(1920, 599) << 1.0 << false << 0.0;
    QTest::newRow("640 x 480") << QSize(640, 480) << 1.0 << false << 0.0;
    QTest::newRow("no screen") << QSize() << 1.0 << false << 0.0;
    // 1600 x 1200 does not fit 1280 x 1024; 1200 x 900 does.
    QTest::newRow("1280 x 1024 at 200 %") << QSize(1280, 1024) << 2.0 << false << 1.5;
    QTest::newRow("exactly 1600 x 1200 at 200 %") << QSize(1600, 1200) << 2.0 << true << 2.0;
    QTest::newRow("1600 x 1199 at 200 %") << QSize(1600, 1199) << 2.0 << false << 1.5;
    QTest::newRow("1000 x 750 at 125 %") << QSize(1000, 750) << 1.25 << true << 1.25;
    QTest::newRow("999 x 750 at 125 %") << QSize(999, 750) << 1.25 << false << 1.0;
    // A scale without pictures of its own is kept when the window fits at it ...
    QTest::newRow("1920 x 1080 at 175 %") << QSize(1920, 1080) << 1.75 << true << 1.75;
    // ... and when it does not, the largest picture scale that fits is taken.
    QTest::newRow("2000 x 1500 at 300 %") << QSize(2000, 1500) << 3.0 << false << 2.0;
    QTest::newRow("3840 x 2160 at 300 %") << QSize(3840, 2160) << 3.0 << true << 3.0;
    // Fits only at one device pixel per window unit; smaller is refused whatever the scale.
    QTest::newRow("800 x 600 at 200 %") << QSize(800, 600) << 2.0 << false << 1.0;
    QTest::newRow("640 x 480 at 200 %") << QSize(640, 480) << 2.0 << false << 0.0;
}

void ShellWindowTest::screenCheck() {
    QFETCH(QSize, screen);
    QFETCH(qreal, desktop);
    QFETCH(bool, starts);
    QFETCH(qreal, fitting);
    const QByteArray before = ReadRunLog();

    FakePrompts prompts;
    TestDlg dlg(prompts);
    dlg.screen = screen;
    dlg.scale = desktop;
    QCOMPARE(dlg.OnInitDialog(), starts);
    QCOMPARE(dlg.m_fFittingScale, fitting);

    if (starts) {
        QVERIFY(prompts.messages.isEmpty());
        QVERIFY(theLog.IsOpen());
    } else if (fitting > 0) {
        // To be started again at the fitting scale: nothing told, laid out or logged.
        QVERIFY(prompts.messages.isEmpty());
        QVERIFY(!theLog.IsOpen());
        QCOMPARE(ReadRunLog(), before);
        QVERIFY(dlg.m_btnOpen.icon().isNull());
    } else {
        QCOMPARE(prompts.messages, QStringList{QStringLiteral("屏幕分辨率太小，需要设置大的屏幕分辨率！")});
        QCOMPARE(prompts.windowVisibleAtMessage, QList<bool>{false});
        // Start-up ends there: no log, no layout.
        QVERIFY(!theLog.IsOpen());
        QCOMPARE(ReadRunLog(), before);
        QVERIFY(dlg.m_btnOpen.icon().isNull());
        QVERIFY(!dlg.isVisible());
    }
}

void ShellWindowTest::missingCascadeIsToldBeforeTheWindowShows() {
    FakePrompts prompts;
    TestDlg dlg(prompts);
    dlg.m_strCascadeFile = "no_such_cascade.xml";
    dlg.m_strSystemCascadeFile = QDir(m_workDir.path()).filePath("missing/cascade.xml").toStdString();
    QVERIFY(dlg.OnInitDialog());

    QCOMPARE(prompts.messages, QStringList{QStringLiteral("文件缺失，请重新下载！")});
    QCOMPARE(prompts.windowVisibleAtMessage, QList<bool>{false});
    QVERIFY(dlg.m_faceCascade.empty());
    // Start-up goes on: the log line is written and the window works, but finds no face in
    // any photo.
    QVERIFY(ReadRunLog().endsWith("系统启动\r\n"));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    prompts.openAnswers << DataFile(QStringLiteral("pass_red_test4_240x320.jpg"));
    QTest::mouseClick(&dlg.m_btnOpen, Qt::LeftButton);
    QCOMPARE(dlg.m_nState, int(NoSinglePortrait));
    QVERIFY(ShowsSkinOf(dlg, NoSinglePortrait));
}

void ShellWindowTest::waysOut_data() {
    QTest::addColumn<QString>("way");
    QTest::newRow("Escape") << QStringLiteral("escape");
    QTest::newRow("exit button") << QStringLiteral("exit");
    QTest::newRow("window closed") << QStringLiteral("close");
}

void ShellWindowTest::waysOut() {
    QFETCH(QString, way);
    FakePrompts prompts;
    TestDlg dlg(prompts);
    QVERIFY(dlg.OnInitDialog());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const QByteArray logBefore = ReadRunLog();
    QSignalSpy finished(&dlg, &QDialog::finished);

    if (way == QLatin1String("escape")) {
        // Through the window system, to whichever button has the focus.
        QTest::keyClick(dlg.windowHandle(), Qt::Key_Escape);
    } else if (way == QLatin1String("exit")) {
        QTest::mouseClick(&dlg.m_btnExit, Qt::LeftButton);
    } else {
        dlg.close();
    }

    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
    QVERIFY(!dlg.isVisible());
    QVERIFY(!theLog.IsOpen());
    // Nothing is logged on the way out.
    QCOMPARE(ReadRunLog(), logBefore);
}

void ShellWindowTest::contextMenuOpensTheAboutBox_data() {
    QTest::addColumn<bool>("byKeyboard");
    QTest::newRow("right click") << false;
    QTest::newRow("menu key") << true;
}

void ShellWindowTest::contextMenuOpensTheAboutBox() {
    QFETCH(bool, byKeyboard);
    FakePrompts prompts;
    TestDlg dlg(prompts);
    QVERIFY(dlg.OnInitDialog());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const QImage before = Grab(dlg);

    if (byKeyboard) {
        // What the window system makes of the menu key: a keyboard context-menu event for the
        // widget with the focus, here the open button.
        const QPoint at = dlg.focusWidget()->rect().center();
        QContextMenuEvent key(QContextMenuEvent::Keyboard, at, dlg.focusWidget()->mapToGlobal(at));
        QApplication::sendEvent(dlg.focusWidget(), &key);
    } else {
        QTest::mouseClick(dlg.windowHandle(), Qt::RightButton, {}, QPoint(150, 450));
    }
    QMenu* menu = nullptr;
    QTRY_VERIFY((menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) != nullptr);
    QCOMPARE(menu->actions().size(), 1);
    QAction* about = menu->actions().front();
    QCOMPARE(about->text(), QStringLiteral("关于 Vetrix(&A)..."));
    about->trigger();
    menu->close();

    CAboutDlg* box = nullptr;
    QTRY_VERIFY((box = dlg.findChild<CAboutDlg*>()) != nullptr && box->isVisible());
    QCOMPARE(box->windowTitle(), QStringLiteral("关于 Vetrix"));
    QCOMPARE(box->m_staticVersion->text(), QStringLiteral("Vetrix，1.0 版"));
    QVERIFY(!box->m_staticPurpose->text().isEmpty());
    QCOMPARE(box->m_btnOk->text(), QStringLiteral("确定"));
    QVERIFY(box->m_btnOk->isDefault());
    const auto icons = box->findChildren<QLabel*>();
    QVERIFY(std::any_of(icons.begin(), icons.end(),
                        [](const QLabel* label) { return !label->pixmap().isNull(); }));

    QPointer<CAboutDlg> watched(box);
    QTest::mouseClick(box->m_btnOk, Qt::LeftButton);
    QTRY_VERIFY(watched.isNull());  // closed and deleted

    // The main window is as it was.
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.m_nState, int(Idle));
    QCOMPARE(FirstDifference(Grab(dlg), before, before.rect()), std::nullopt);
}

QTEST_MAIN(ShellWindowTest)
#include "shell_window_test.moc"
