#include "shell/VetrixDlg.h"

#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QToolTip>

#include <algorithm>
#include <exception>
#include <new>

#include "present/Compose.h"
#include "engine/Export.h"
#include "log/Log.h"
#include "shell/AboutDlg.h"
#include "shell/ImageBridge.h"
#include "shell/Pictures.h"
#include "shell/UserPrompts.h"

namespace {

QRect ToQRect(const layout::Box& box) {
    return {box.x, box.y, box.width, box.height};
}

// Shows the wait cursor while it lives.
class WaitCursor {
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// Why a chosen photo could not be read, in the window's language where the reason is common.
QString ReadFailure(const std::error_code& error) {
    if (error == std::errc::no_such_file_or_directory) {
        return QObject::tr("文件不存在");
    }
    if (error == std::errc::permission_denied) {
        return QObject::tr("没有读取该文件的权限");
    }
    if (error == std::errc::is_a_directory || error == std::errc::invalid_argument) {
        return QObject::tr("这不是一个普通文件");
    }
    return QString::fromLocal8Bit(error.message().c_str());
}

}  // namespace

CVetrixDlg::CVetrixDlg(IUserPrompts& prompts, QWidget* parent)
    : QDialog(parent),
      m_btnOpen(this),
      m_btnSave(this),
      m_btnExit(this),
      m_prompts(prompts) {
    pictures::Register();
    m_hIcon = pictures::AllScales(pictures::kIcon);

    // A normal top-level window without frame or caption: it keeps its taskbar entry, and
    // the user can neither move nor resize it.
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setWindowTitle(QStringLiteral("Vetrix"));
    setFixedSize(kWindowSize);
    // Every paint covers the whole window with a picture.
    setAttribute(Qt::WA_OpaquePaintEvent);

    m_btnOpen.setObjectName(QStringLiteral("openPhoto"));
    m_btnSave.setObjectName(QStringLiteral("savePhoto"));
    m_btnExit.setObjectName(QStringLiteral("exitSystem"));
    m_btnOpen.setAccessibleName(tr("打开照片"));
    m_btnSave.setAccessibleName(tr("保存照片"));
    m_btnExit.setAccessibleName(tr("退出系统"));
    setTabOrder(&m_btnOpen, &m_btnSave);
    setTabOrder(&m_btnSave, &m_btnExit);

    connect(&m_btnOpen, &QPushButton::clicked, this, &CVetrixDlg::OnOpenPhoto);
    connect(&m_btnSave, &QPushButton::clicked, this, &CVetrixDlg::OnSavePhoto);
    connect(&m_btnExit, &QPushButton::clicked, this, &CVetrixDlg::OnExitSystem);
}

CVetrixDlg::~CVetrixDlg() {
    CloseRunLog();
}

bool CVetrixDlg::OnInitDialog() {
    setWindowIcon(m_hIcon);
    return InitMainWindow();
}

bool CVetrixDlg::InitMainWindow() {
    move(0, 0);

    const qreal desktop = DesktopScale();
    m_fFittingScale = FittingScale(PrimaryScreenSize(), desktop);
    if (m_fFittingScale <= 0) {
        m_prompts.ShowMessage(nullptr, tr("屏幕分辨率太小，需要设置大的屏幕分辨率！"));
        return false;
    }
    if (m_fFittingScale < desktop) {
        // Qt fixes the scale when the application starts; the caller starts again at this one.
        return false;
    }

    m_btnOpen.setGeometry(ToQRect(layout::kOpenButton));
    m_btnOpen.SetPicture(pictures::kButtonOpen);
    m_btnSave.setGeometry(ToQRect(layout::kSaveButton));
    m_btnSave.setEnabled(false);
    m_btnSave.SetPicture(pictures::kButtonSaveGrey);
    m_btnExit.setGeometry(ToQRect(layout::kExitButton));
    m_btnExit.SetPicture(pictures::kButtonExit);
    m_btnOpen.setFocus();

    if (!LoadFaceCascade()) {
        // Told before the window appears; without a cascade every photo that decodes ends
        // as NoSinglePortrait, but the window still works.
        m_prompts.ShowMessage(nullptr, tr("文件缺失，请重新下载！"));
    }

    if (theLog.Open() != nullptr) {
        m_bLogOpened = true;
        theLog.Print("%s\r\n", "系统启动");
    }
    return true;
}

QSize CVetrixDlg::PrimaryScreenSize() const {
    const QScreen* screen = QGuiApplication::primaryScreen();
    // Qt gives the size in window units; the check is about the screen's own pixels.
    return screen != nullptr ? screen->size() * screen->devicePixelRatio() : QSize();
}

qreal CVetrixDlg::DesktopScale() const {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->devicePixelRatio() : 1.0;
}

QPixmap CVetrixDlg::CurrentPicture() const {
    const qreal ratio = devicePixelRatio();
    const bool passed = m_nState == Passed;
    if (!m_cache.picture.isNull() && m_cache.state == m_nState && m_cache.ratio == ratio &&
        (!passed || (m_cache.photo.data == m_matResult.data &&
                     m_cache.photo.size == m_matResult.size))) {
        return m_cache.picture;
    }
    QPixmap picture = pictures::ForDevice(pictures::SkinFor(m_nState), ratio);
    if (passed && !picture.isNull()) {
        const cv::Mat composed =
            ComposeResultPicture(QImageToMat(picture.toImage()), m_matResult, ratio);
        picture = QPixmap::fromImage(MatToQImage(composed));
        picture.setDevicePixelRatio(ratio);
    }
    m_cache = {m_nState, ratio, passed ? m_matResult : cv::Mat(), picture};
    return picture;
}

qreal FittingScale(QSize screen, qreal desktopScale) {
    if (!(desktopScale > 0 && desktopScale <= 16)) {
        desktopScale = 1.0;  // no sane factor: one device pixel per window unit
    }
    const auto fits = [&](qreal scale) {
        return layout::ToDevicePixels(layout::kWindowWidth, scale) <= screen.width() &&
               layout::ToDevicePixels(layout::kWindowHeight, scale) <= screen.height();
    };
    if (!fits(1.0)) {
        return 0;
    }
    if (fits(desktopScale)) {
        return desktopScale;
    }
    qreal best = 1.0;
    for (const int percent : layout::kPictureScalesPercent) {
        const qreal scale = percent / 100.0;
        if (scale < desktopScale && fits(scale)) {
            best = std::max(best, scale);
        }
    }
    return best;
}

void CVetrixDlg::OnOpenPhoto() {
    ShowSaveButton(false);
    const std::optional<QString> path = m_prompts.ChooseOpenPath(this);
    if (!path) {
        return;
    }
    // The engine takes names in UTF-8 on every system (on Windows the platform layer opens them
    // by their UTF-16 form), and the name alone for the log line.
    const QString fileName = QFileInfo(*path).fileName();
    QString failure;
    try {
        const WaitCursor wait;
        const std::error_code error = AuditFile(path->toStdString(), fileName.toStdString());
        if (!error) {
            WriteVerdictLine(VerdictLine());
            ShowSaveButton(m_nState == Passed);
            RequestRepaint();
            return;
        }
        failure = ReadFailure(error);
    } catch (const std::bad_alloc&) {
        failure = tr("内存不足");
    } catch (const std::exception& e) {
        failure = QString::fromLocal8Bit(e.what());
    }
    // No verdict was reached: the engine is back to Idle, the window shows so, and the user is
    // told that this photo could not be audited (no log line: the log holds verdicts only).
    ShowSaveButton(false);
    RequestRepaint();
    m_prompts.ShowMessage(this, tr("照片“%1”无法审核：%2").arg(fileName, failure));
}

void CVetrixDlg::OnSavePhoto() {
    // Grey while the chooser is open; the button itself stays enabled until the end.
    m_btnSave.SetPicture(pictures::kButtonSaveGrey);
    if (m_nState == Passed && !m_matResult.empty()) {
        const std::optional<QString> path = m_prompts.ChooseSavePath(this);
        if (path) {
            const WriteResult written = WriteApprovedPhoto(m_matResult, path->toStdString());
            if (!written.ok) {
                // Nothing was saved: the user is told and may choose another place.
                m_prompts.ShowMessage(this, tr("照片没有保存到“%1”：%2")
                                                .arg(QDir::toNativeSeparators(*path),
                                                     QString::fromStdString(written.error)));
                ShowSaveButton(true);
                return;
            }
        }
    }
    // Saved or cancelled: this photo cannot be saved again until it passes a new audit.
    ShowSaveButton(false);
    m_nState = Idle;
    RequestRepaint();
}

void CVetrixDlg::OnExitSystem() {
    reject();
}

void CVetrixDlg::OnAboutBox() {
    auto* about = new CAboutDlg(m_hIcon, this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->open();
}

void CVetrixDlg::WriteVerdictLine(const std::string& line) {
    theLog.Print("%s", line.c_str());
}

void CVetrixDlg::ShowSaveButton(bool enabled) {
    if (enabled) {
        m_btnSave.SetPicture(pictures::kButtonSave);
        m_btnSave.setEnabled(true);
    } else {
        m_btnSave.setEnabled(false);
        m_btnSave.SetPicture(pictures::kButtonSaveGrey);
    }
}

void CVetrixDlg::RequestRepaint() {
    ShowVerdictHint();
    update();
}

void CVetrixDlg::ShowVerdictHint() {
    constexpr QPoint kHintAnchor{layout::kHintAnchor.x, layout::kHintAnchor.y};
    const bool rejected = m_nState != Idle && m_nState != Passed;
    const QString hint = rejected ? QString::fromUtf8(WhyHint(m_details.why.cause)) : QString();
    // A separate popup, so the verdict picture's pixels stay as they are; the tooltip brings
    // the hint back whenever the pointer rests on the window.
    setToolTip(hint);
    setAccessibleDescription(hint);
    if (hint.isEmpty()) {
        QToolTip::hideText();
    } else if (isVisible()) {
        QToolTip::showText(mapToGlobal(kHintAnchor), hint, this, QRect(), layout::kHintShownMs);
    }
}

void CVetrixDlg::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    const QPixmap picture = CurrentPicture();
    if (picture.isNull()) {
        painter.fillRect(rect(), Qt::white);
        return;
    }
    // From the top-left corner at the picture's own ratio, which is the window's: one picture
    // pixel on each device pixel, never scaled.
    painter.drawPixmap(rect().topLeft(), picture);
}

void CVetrixDlg::contextMenuEvent(QContextMenuEvent* event) {
    // The window has no caption and so no system menu: the about entry lives here.
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(tr("关于 Vetrix(&A)..."), this, &CVetrixDlg::OnAboutBox);
    menu->popup(event->globalPos());
    event->accept();
}

void CVetrixDlg::done(int result) {
    CloseRunLog();
    QDialog::done(result);
}

void CVetrixDlg::CloseRunLog() {
    if (m_bLogOpened) {
        theLog.Close();
        m_bLogOpened = false;
    }
}
