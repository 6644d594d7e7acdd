#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

/// The pictures compiled into the program (shell/res/vetrix.qrc, written by vetrix-skingen).
///
/// Each picture is rendered once per scale in layout::kPictureScalesPercent. The names below
/// are the 100 % renderings; AtScale names the others. Sizes are given in window units.
namespace pictures {

extern const QString kButtonOpen;
extern const QString kButtonSave;
extern const QString kButtonSaveGrey;
extern const QString kButtonExit;
extern const QString kIcon;

/// The 800 x 600 skin of a verdict (a ResultState code); the idle skin for codes outside 0..6.
QString SkinFor(int state);

/// The rendering of `picture` (one of the names above) at `percent`, one of
/// layout::kPictureScalesPercent.
QString AtScale(const QString& picture, int percent);

/// `picture` for a device of `devicePixelRatio` device pixels per window unit: its size in
/// window units times the ratio (rounded as layout::ToDevicePixels rounds), with the ratio set
/// on the pixmap, so that it paints 1:1 on such a device. The rendering at that scale when
/// there is one; otherwise the rendering at the next larger scale (the largest, above all)
/// resampled smoothly. A null pixmap for an unknown picture or a ratio outside 0 to 16.
QPixmap ForDevice(const QString& picture, qreal devicePixelRatio);

/// `picture` as an icon holding every rendering, for Qt to pick the one the device needs.
QIcon AllScales(const QString& picture);

/// Makes the pictures reachable. The resources live in a static library, whose registration
/// code the linker would otherwise leave out; every user of the pictures calls this first.
void Register();

}  // namespace pictures
