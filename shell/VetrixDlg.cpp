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

#include <exception>
#include <new>

#include "engine/Compose.h"
#include "engine/Export.h"
#include "log/Log.h"
#include "shell/AboutDlg.h"
#include "shell/ImageBridge.h"
#include "shell/Pictures.h"
#include "shell/UserPrompts.h"

namespace {

constexpr int kButtonX = 520;
constexpr QSize kButtonSize{197, 48};
constexpr int kOpenY = 100;
constexpr int kSaveY = 188;
constexpr int kExitY = 276;

// Gives a button its picture at the picture's own size. The same picture serves the enabled
// and the disabled look, so that Qt does not grey it a second time; a picture larger than the
// button (the grey save picture) is centred and its border cut off.
void SetButtonPicture(QPushButton& button, const QString& picture) {
    const QPixmap pixmap(picture);
    QIcon icon;
    for (const QIcon::Mode mode : {QIcon::Normal, QIcon::Disabled, QIcon::Active}) {
        icon.addPixmap(pixmap, mode);
    }
    button.setIcon(icon);
    button.setIconSize(pixmap.size());
}

// Shows the wait cursor while it lives.
class WaitCursor {
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

CVetrixDlg::CVetrixDlg(IUserPrompts& prompts, QWidget* parent)
    : QDialog(parent),
      m_btnOpen(this),
      m_btnSave(this),
      m_btnExit(this),
      m_prompts(prompts) {
    pictures::Register();
    m_hIcon = QIcon(pictures::kIcon);

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

    const QSize screen = PrimaryScreenSize();
    if (screen.width() < kWindowSize.width() || screen.height() < kWindowSize.height()) {
        m_prompts.ShowMessage(nullptr, tr("屏幕分辨率太小，需要设置大的屏幕分辨率！"));
        return false;
    }

    m_btnOpen.setGeometry(QRect(QPoint(kButtonX, kOpenY), kButtonSize));
    SetButtonPicture(m_btnOpen, pictures::kButtonOpen);
    m_btnSave.setGeometry(QRect(QPoint(kButtonX, kSaveY), kButtonSize));
    m_btnSave.setEnabled(false);
    SetButtonPicture(m_btnSave, pictures::kButtonSaveGrey);
    m_btnExit.setGeometry(QRect(QPoint(kButtonX, kExitY), kButtonSize));
    SetButtonPicture(m_btnExit, pictures::kButtonExit);
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
    return screen != nullptr ? screen->size() : QSize();
}

QPixmap CVetrixDlg::CurrentPicture() const {
    // Pixmaps loaded by name come from Qt's pixmap cache, so a paint decodes no file.
    const QPixmap skin(pictures::SkinFor(m_nState));
    if (m_nState != Passed) {
        return skin;
    }
    const cv::Mat composed = ComposeResultPicture(QImageToMat(skin.toImage()), m_matResult);
    return QPixmap::fromImage(MatToQImage(composed));
}

void CVetrixDlg::OnOpenPhoto() {
    ShowSaveButton(false);
    const std::optional<QString> path = m_prompts.ChooseOpenPath(this);
    if (!path) {
        return;
    }
    // The engine takes the file name's bytes as the system takes them, and the name alone in
    // UTF-8 for the log line.
    const QString fileName = QFileInfo(*path).fileName();
    QString failure;
    try {
        const WaitCursor wait;
        AuditFile(QFile::encodeName(*path).toStdString(), fileName.toStdString());
        return;
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
    SetButtonPicture(m_btnSave, pictures::kButtonSaveGrey);
    if (m_nState == Passed && !m_matResult.empty()) {
        const std::optional<QString> path = m_prompts.ChooseSavePath(this);
        if (path) {
            const WriteResult written =
                WriteApprovedPhoto(m_matResult, QFile::encodeName(*path).toStdString());
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
        SetButtonPicture(m_btnSave, pictures::kButtonSave);
        m_btnSave.setEnabled(true);
    } else {
        m_btnSave.setEnabled(false);
        SetButtonPicture(m_btnSave, pictures::kButtonSaveGrey);
    }
}

void CVetrixDlg::RequestRepaint() {
    update();
}

void CVetrixDlg::paintEvent(QPaintEvent* /*event*/) {
    m_rcClient = rect();
    QPainter painter(this);
    const QPixmap picture = CurrentPicture();
    if (picture.isNull()) {
        painter.fillRect(m_rcClient, Qt::white);
        return;
    }
    // 1:1 in logical pixels from the top-left corner, never scaled.
    painter.drawPixmap(m_rcClient.topLeft(), picture, m_rcClient);
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
