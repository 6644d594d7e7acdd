#pragma once

#include <QDialog>
#include <QIcon>
#include <QPixmap>
#include <QRect>
#include <QSize>

#include "engine/PhotoAudit.h"
#include "shell/PictureButton.h"

class IUserPrompts;

/// The main window: a frameless 800 x 600 window at the screen's top-left corner whose whole
/// surface is the picture of the current verdict, with the open, save and exit buttons in the
/// picture's white column. It holds the state of a run (the audit fields come from
/// CPhotoAudit) and asks the user things only through the IUserPrompts it is given.
class CVetrixDlg : public QDialog, public CPhotoAudit {
    Q_OBJECT

public:
    /// `prompts` must outlive the window.
    explicit CVetrixDlg(IUserPrompts& prompts, QWidget* parent = nullptr);
    ~CVetrixDlg() override;

    /// Start-up, before the window is shown: icons, screen check, layout, face cascade, run
    /// log. False when the screen is too small: the user has been told, nothing was laid out
    /// or logged, and the program is to end without showing the window.
    bool OnInitDialog();

    /// The picture that the window shows for the current state, 800 x 600.
    QPixmap CurrentPicture() const;

    /// The window's fixed size, and so the smallest screen that can show it whole.
    static constexpr QSize kWindowSize{800, 600};

    QIcon m_hIcon;
    QRect m_rcClient;  ///< client rectangle of the last paint
    CPictureButton m_btnOpen;
    CPictureButton m_btnSave;
    CPictureButton m_btnExit;

public slots:
    /// Open button: the save button goes grey, then the user picks a photo, which is audited.
    /// When the audit fails without a verdict (out of memory, a failing detector), the window
    /// shows the idle picture and tells the user in a message.
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
    /// The size of the primary screen; empty when there is none.
    virtual QSize PrimaryScreenSize() const;

    void WriteVerdictLine(const std::string& line) override;
    void ShowSaveButton(bool enabled) override;
    void RequestRepaint() override;

    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void done(int result) override;

private:
    /// The window owns theLog: it opens it at start-up and closes it here, when it ends or
    /// goes, whichever comes first.
    void CloseRunLog();

    IUserPrompts& m_prompts;
    bool m_bLogOpened = false;
};
