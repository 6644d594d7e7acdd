#pragma once

#include <QPushButton>

/// A flat push button whose whole face is a picture (its icon, drawn at the icon's own size
/// and centred). The style draws no frame around a flat button, so once the user moves the
/// focus with the keyboard a dotted outline shows which button Space or Enter will press.
class CPictureButton : public QPushButton {
    Q_OBJECT

public:
    explicit CPictureButton(QWidget* parent = nullptr);

    /// Whether the focus outline is drawn now.
    bool ShowsFocusCue() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    bool m_bKeyboardFocus = false;
};
