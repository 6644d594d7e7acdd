#pragma once

#include <QDialog>
#include <QIcon>
#include <QPixmap>
#include <QRect>
#include <QSize>

#include <opencv2/core.hpp>

#include "engine/PhotoAudit.h"
#include "present/WindowLayout.h"
#include "shell/PictureButton.h"

class IUserPrompts;

/// The scale (device pixels per window unit) at which the window runs on a screen of `screen`
/// device pixels whose desktop is scaled by `desktopScale`: the desktop's own when the window
/// fits at it; otherwise the largest picture scale (layout::kPictureScalesPercent) below the
/// desktop's at which it fits, down to 1. 0 when the screen is smaller than the window at one
/// device pixel per window unit, or there is no screen.
qreal FittingScale(QSize screen, qreal desktopScale);

/// The main window: a frameless 800 x 600 window at the screen's top-left corner whose whole
/// surface is the picture of the current verdict, with the open, save and exit buttons in the
/// picture's white column. Sizes are in window units, which the desktop's scale factor maps to
/// device pixels; the pictures are drawn at the device's resolution. It holds the state of a
/// run (the audit fields come from CPhotoAudit) and asks the user things only through the
/// IUserPrompts it is given. After each audit it acts on the result: the verdict line to the run
/// log, the save button, the hint and a repaint.
class CVetrixDlg : public QDialog, public CPhotoAudit {
    Q_OBJECT

public:
    /// `prompts` must outlive the window.
    explicit CVetrixDlg(IUserPrompts& prompts, QWidget* parent = nullptr);
    ~CVetrixDlg() override;

    /// Start-up, before the window is shown: icons, screen check, layout, face cascade, run
    /// log. False when the window cannot start at the desktop's scale; nothing was laid out or
    /// logged, and the window is not to be shown. Then either m_fFittingScale is 0: the screen
    /// is too small, the user has been told and the program is to end; or it is the lower
    /// scale at which the window fits the screen, and the program is to start again at it.
    bool OnInitDialog();

    /// The picture that the window shows for the current state: 800 x 600 window units at the
    /// window's device pixel ratio (which the pixmap carries). Composed once for each verdict
    /// and ratio; later calls return the same pixmap.
    QPixmap CurrentPicture() const;

    /// The window's fixed size in window units; at one device pixel per unit, also the
    /// smallest screen that can show it whole.
    static constexpr QSize kWindowSize{layout::kWindowWidth, layout::kWindowHeight};

    qreal m_fFittingScale = 0;  ///< see OnInitDialog
    QIcon m_hIcon;
    CPictureButton m_btnOpen;
    CPictureButton m_btnSave;
    CPictureButton m_btnExit;

public slots:
    /// Open button: the save button goes grey, then the user picks a photo, which is audited.
    /// When there is no verdict (the file cannot be read, memory runs out, the detector fails),
    /// the window shows the idle picture and tells the user in a message.
    void OnOpenPhoto();
    /// Save button: the user picks a target and the approved photo is written there.
    void OnSavePhoto();
    /// Exit button: ends the window, as Escape and closing it do.
    void OnExitSystem();
    /// The about box, opened without blocking.
    void OnAboutBox();

protected:
    /// Screen check, layout of the buttons, face cascade and start-up log line.
    bool InitMainWindow();
    /// The size of the primary screen in device pixels; empty when there is none.
    virtual QSize PrimaryScreenSize() const;
    /// The primary screen's device pixels per window unit (the desktop's scale factor).
    virtual qreal DesktopScale() const;

    /// Writes the verdict's line to the run log.
    virtual void WriteVerdictLine(const std::string& line);
    /// Shows the save button enabled (green) or disabled (grey).
    void ShowSaveButton(bool enabled);
    /// The hint of the current verdict, then the whole window painted again.
    void RequestRepaint();

    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void done(int result) override;

private:
    /// The window owns theLog: it opens it at start-up and closes it here, when it ends or
    /// goes, whichever comes first.
    void CloseRunLog();
    /// Shows the hint of the current verdict (what to change) beside the picture, and keeps it
    /// as the window's tooltip; clears both when there is nothing to change.
    void ShowVerdictHint();

    IUserPrompts& m_prompts;
    bool m_bLogOpened = false;

    // The last picture painted and what it was made from. The photo is a reference to the
    // normalised photo's pixels, which keeps them alive: a different photo never shares the
    // address.
    struct PictureCache {
        int state = -1;
        qreal ratio = 0;
        cv::Mat photo;
        QPixmap picture;
    };
    mutable PictureCache m_cache;
};
