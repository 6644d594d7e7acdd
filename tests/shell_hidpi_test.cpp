// The main window on a scaled desktop (200 %, or the per cent in VETRIX_TEST_SCALE_PERCENT):
// the same layout in window units, every picture drawn at the device's resolution, and the
// Passed picture composed once per verdict.

#include <algorithm>

#include <QApplication>
#include <QBackingStore>
#include <QDir>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/core.hpp>

#include "present/Compose.h"
#include "log/Log.h"
#include "shell/AboutDlg.h"
#include "shell/ImageBridge.h"
#include "shell/Pictures.h"
#include "shell_test_support.h"

namespace {

int ScalePercent() {
    bool ok = false;
    const int percent = qEnvironmentVariableIntValue("VETRIX_TEST_SCALE_PERCENT", &ok);
    return ok ? percent : 200;
}

const int kPercent = ScalePercent();
const qreal kScale = kPercent / 100.0;

QRect Device(const QRect& units) {
    const layout::Box box =
        layout::ToDevicePixels({units.x(), units.y(), units.width(), units.height()}, kScale);
    return {box.x, box.y, box.width, box.height};
}

QSize DeviceWindow() {
    return {layout::ToDevicePixels(800, kScale), layout::ToDevicePixels(600, kScale)};
}

QImage Rendering(const QString& picture) {
    return QImage(pictures::AtScale(picture, kPercent)).convertToFormat(QImage::Format_RGB32);
}

// Whether `shown` has the middle of `picture` (a rendering at the scale) in `area` (device
// pixels).
bool ShowsMiddleOf(const QImage& shown, const QRect& area, const QImage& picture) {
    const QPoint margin((picture.width() - area.width()) / 2,
                        (picture.height() - area.height()) / 2);
    const auto at = FirstDifference(shown.copy(area), picture.copy(QRect(margin, area.size())),
                                    QRect(QPoint(), area.size()));
    if (at) {
        qWarning("differs at (%d, %d) of the area", at->x(), at->y());
    }
    return !at;
}

}  // namespace

class ShellHiDpiTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void idleWindowIsDrawnAtTheDeviceResolution();
    void passedFrameIsComposedAtTheDeviceResolution();
    void pictureIsComposedOncePerVerdict();

private:
    std::unique_ptr<TestDlg> StartWindow(FakePrompts& prompts, const QString& photo = {});

    QTemporaryDir m_workDir;
};

void ShellHiDpiTest::initTestCase() {
    QVERIFY(m_workDir.isValid());
    QVERIFY(QDir::setCurrent(m_workDir.path()));
    pictures::Register();
}

void ShellHiDpiTest::cleanup() {
    QVERIFY2(!theLog.IsOpen(), "a window left the run log open");
}

std::unique_ptr<TestDlg> ShellHiDpiTest::StartWindow(FakePrompts& prompts, const QString& photo) {
    auto dlg = std::make_unique<TestDlg>(prompts);
    dlg->screen = QSize(3840, 2160);  // room for 1600 x 1200 device pixels
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

void ShellHiDpiTest::idleWindowIsDrawnAtTheDeviceResolution() {
    FakePrompts prompts;
    auto dlg = StartWindow(prompts);
    QVERIFY(dlg);
    QCOMPARE(dlg->devicePixelRatio(), kScale);

    // The layout in window units is the one of a 100 % desktop ...
    QCOMPARE(dlg->geometry(), QRect(0, 0, 800, 600));
    QCOMPARE(dlg->m_btnOpen.geometry(), kOpenButtonRect);
    QCOMPARE(dlg->m_btnSave.geometry(), kSaveButtonRect);
    QCOMPARE(dlg->m_btnExit.geometry(), kExitButtonRect);
    // ... on twice as many device pixels each way.
    const QPaintDevice* store = dlg->backingStore()->paintDevice();
    QCOMPARE(QSize(store->width(), store->height()), DeviceWindow());
    if (kPercent == 200) {
        QCOMPARE(DeviceWindow(), QSize(1600, 1200));
    }

    // The generator's 200 % renderings, pixel for pixel: the skin ...
    const QImage shown = Grab(*dlg);
    QCOMPARE(shown.size(), DeviceWindow());
    const auto at = FirstDifference(shown, Rendering(pictures::SkinFor(Idle)), shown.rect(),
                                    Device(kButtonColumn));
    QVERIFY2(!at, at ? qPrintable(QStringLiteral("differs at (%1, %2)").arg(at->x()).arg(at->y()))
                     : "");
    // ... and the buttons, the disabled save button showing the middle of its larger picture.
    QVERIFY(ShowsMiddleOf(shown, Device(kOpenButtonRect), Rendering(pictures::kButtonOpen)));
    QVERIFY(ShowsMiddleOf(shown, Device(kSaveButtonRect),
                          Rendering(pictures::kButtonSaveGrey)));
    QVERIFY(ShowsMiddleOf(shown, Device(kExitButtonRect), Rendering(pictures::kButtonExit)));

    // The about box's picture is the icon at the device's resolution too.
    CAboutDlg about(dlg->m_hIcon, dlg.get());
    const auto labels = about.findChildren<QLabel*>();
    const auto picture = std::find_if(labels.begin(), labels.end(), [](const QLabel* label) {
        return !label->pixmap().isNull();
    });
    QVERIFY(picture != labels.end());
    const int side = layout::ToDevicePixels(64, kScale);
    QCOMPARE((*picture)->pixmap().size(), QSize(side, side));
    QCOMPARE((*picture)->pixmap().devicePixelRatio(), kScale);
    dlg->close();
}

void ShellHiDpiTest::passedFrameIsComposedAtTheDeviceResolution() {
    FakePrompts prompts;
    auto dlg = StartWindow(prompts, DataFile(QStringLiteral("pass_red_test4_240x320.jpg")));
    QVERIFY(dlg);
    QCOMPARE(dlg->m_nState, int(Passed));

    // The skin at the scale with the photo composed into its frame (354 x 456 device pixels
    // at 200 %).
    const cv::Mat skin =
        QImageToMat(QImage(pictures::AtScale(pictures::SkinFor(Passed), kPercent)));
    const cv::Mat composed = ComposeResultPicture(skin, dlg->m_matResult, kScale);
    const QImage expected = MatToQImage(composed).convertToFormat(QImage::Format_RGB32);
    const QImage shown = Grab(*dlg);
    QCOMPARE(shown.size(), DeviceWindow());
    const QRect frame = kPercent == 200 ? QRect(560, 166, 354, 456) : Device(kPhotoFrame);
    QCOMPARE(FirstDifference(shown, expected, shown.rect(), Device(kButtonColumn)), std::nullopt);
    // The frame holds the photo: a red background, not the white of the empty skin.
    const QRgb corner = shown.pixel(frame.topLeft() + QPoint(2, 2));
    QVERIFY2(qRed(corner) > 150 && qGreen(corner) < 100, qPrintable(QString::number(corner, 16)));
    QCOMPARE(shown.pixel(frame.topLeft() - QPoint(1, 1)),
             expected.pixel(frame.topLeft() - QPoint(1, 1)));
    dlg->close();
}

void ShellHiDpiTest::pictureIsComposedOncePerVerdict() {
    const QString photo = DataFile(QStringLiteral("pass_red_test4_240x320.jpg"));
    FakePrompts prompts;
    auto dlg = StartWindow(prompts, photo);
    QVERIFY(dlg);
    QCOMPARE(dlg->m_nState, int(Passed));
    const QPixmap first = dlg->CurrentPicture();
    QCOMPARE(first.devicePixelRatio(), kScale);

    // Hovering a button and painting again reuse the picture.
    QTest::mouseMove(&dlg->m_btnExit);
    dlg->repaint();
    QTest::mouseMove(&dlg->m_btnOpen);
    dlg->repaint();
    QCOMPARE(dlg->CurrentPicture().cacheKey(), first.cacheKey());

    // A new verdict makes a new one, even for the same photo passing again ...
    prompts.openAnswers << photo;
    QTest::mouseClick(&dlg->m_btnOpen, Qt::LeftButton);
    QCOMPARE(dlg->m_nState, int(Passed));
    const QPixmap second = dlg->CurrentPicture();
    QVERIFY(second.cacheKey() != first.cacheKey());
    QCOMPARE(FirstDifference(second.toImage(), first.toImage(), first.toImage().rect()),
             std::nullopt);

    // ... and going back to idle shows the idle skin.
    QTest::mouseClick(&dlg->m_btnSave, Qt::LeftButton);  // no answer queued: cancelled
    QCOMPARE(dlg->m_nState, int(Idle));
    const QImage idle = dlg->CurrentPicture().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(FirstDifference(idle, Rendering(pictures::SkinFor(Idle)), idle.rect()),
             std::nullopt);
    dlg->close();
}

int main(int argc, char** argv) {
    // The desktop's scale factor as a desktop sets it, before the application reads it.
    qputenv("QT_SCALE_FACTOR", QByteArray::number(kScale));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ShellHiDpiTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "shell_hidpi_test.moc"
