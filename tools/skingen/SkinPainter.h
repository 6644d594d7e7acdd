#pragma once

#include <QImage>

#include "SkinLayout.h"

namespace skingen {

// Each function draws one picture from the layout data at `scale` device pixels per window
// unit: an image of the picture's size in window units times the scale (rounded as
// layout::ToDevicePixels rounds), with that device pixel ratio. Skins and buttons come back as
// Format_RGB888 (no alpha), the icon as Format_ARGB32.
//
// They throw std::runtime_error when a text does not fit its box, so that a change of
// wording cannot silently spill out of a panel.

QImage renderSkin(const SkinContent& skin, double scale = 1.0);
QImage renderButton(const ButtonLook& button, double scale = 1.0);
QImage renderIcon(double scale = 1.0);

}  // namespace skingen
