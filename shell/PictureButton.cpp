#include "shell/PictureButton.h"

#include <QFocusEvent>
#include <QIcon>
#include <QPainter>
#include <QStyleOption>
#include <QStylePainter>

#include <cmath>

#include "present/WindowLayout.h"
#include "shell/Pictures.h"

CPictureButton::CPictureButton(QWidget* parent) : QPushButton(parent) {
    setFlat(true);
    setFocusPolicy(Qt::StrongFocus);
}

void CPictureButton::SetPicture(const QString& picture) {
    QIcon icon;
    for (const int percent : layout::kPictureScalesPercent) {
        QPixmap pixmap(pictures::AtScale(picture, percent));
        pixmap.setDevicePixelRatio(percent / 100.0);
        // The same picture for every mode, so that Qt does not grey the disabled one again.
        for (const QIcon::Mode mode : {QIcon::Normal, QIcon::Disabled, QIcon::Active}) {
            icon.addPixmap(pixmap, mode);
        }
    }
    setIcon(icon);
    setIconSize(QPixmap(picture).size());
    m_strPicture = picture;
    m_picture = QPixmap();
    update();
}

bool CPictureButton::ShowsFocusCue() const {
    return m_bKeyboardFocus && hasFocus();
}

void CPictureButton::focusInEvent(QFocusEvent* event) {
    // The cue appears when the keyboard brought the focus and stays until the focus leaves,
    // as desktop dialogs hide focus cues until the keyboard is used.
    const Qt::FocusReason reason = event->reason();
    m_bKeyboardFocus = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
                       reason == Qt::ShortcutFocusReason;
    QPushButton::focusInEvent(event);
}

void CPictureButton::paintEvent(QPaintEvent* event) {
    if (m_strPicture.isEmpty()) {
        QPushButton::paintEvent(event);
    } else {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        // The style's panel (a flat button shows one only while pressed), then the picture.
        // The style would draw the icon into whole window units, which resamples it at 125 %
        // or 150 %; placed on whole device pixels it is drawn 1:1. Centred as the style
        // centres, half the difference rounded towards zero.
        painter.drawControl(QStyle::CE_PushButtonBevel, option);
        const qreal ratio = devicePixelRatio();
        if (m_picture.isNull() || m_picture.devicePixelRatio() != ratio) {
            m_picture = pictures::ForDevice(m_strPicture, ratio);
        }
        QPointF at(std::trunc((width() * ratio - m_picture.width()) / 2) / ratio,
                   std::trunc((height() * ratio - m_picture.height()) / 2) / ratio);
        if (option.state & (QStyle::State_Sunken | QStyle::State_On)) {
            // Pressed, the style moves a button's face by these (whole window units).
            at += QPoint(style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                         style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this));
        }
        painter.drawPixmap(at, m_picture);
    }
    if (!ShowsFocusCue()) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(Qt::white, 1, Qt::DotLine));
    painter.drawRoundedRect(QRectF(rect()).adjusted(4.5, 4.5, -4.5, -4.5), 5, 5);
}
