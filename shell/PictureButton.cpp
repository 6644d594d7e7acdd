#include "shell/PictureButton.h"

#include <QFocusEvent>
#include <QPainter>

CPictureButton::CPictureButton(QWidget* parent) : QPushButton(parent) {
    setFlat(true);
    setFocusPolicy(Qt::StrongFocus);
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
    QPushButton::paintEvent(event);
    if (!ShowsFocusCue()) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(Qt::white, 1, Qt::DotLine));
    painter.drawRoundedRect(QRectF(rect()).adjusted(4.5, 4.5, -4.5, -4.5), 5, 5);
}
