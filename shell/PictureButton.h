#pragma once

#include <QPixmap>
#include <QPushButton>
#include <QString>

/// A flat push button whose whole face is a picture, drawn centred at the picture's own size
/// with one picture pixel on each device pixel. The style draws no frame around a flat button,
/// so once the user moves the focus with the keyboard a dotted outline shows which button Space
/// or Enter will press.
class CPictureButton : public QPushButton {
    Q_OBJECT

public:
    explicit CPictureButton(QWidget* parent = nullptr);

    /// Shows `picture` (a name from pictures::, at 100 %), in the same look whether the button
    /// is enabled or not. A picture larger than the button is centred and its border cut off.
    /// The button's icon holds the picture too, at every scale.
    void SetPicture(const QString& picture);

    /// Whether the focus outline is drawn now.
    bool ShowsFocusCue() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    bool m_bKeyboardFocus = false;
    QString m_strPicture;
    QPixmap m_picture;  ///< m_strPicture at the device pixel ratio of the last paint
};
