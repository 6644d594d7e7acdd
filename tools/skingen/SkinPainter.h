#pragma once

#include <QImage>

#include "SkinLayout.h"

namespace skingen {

// Each function draws one picture from the layout data. Skins and buttons come back as
// Format_RGB888 (no alpha), the icon as Format_ARGB32.
//
// They throw std::runtime_error when a text does not fit its box, so that a change of
// wording cannot silently spill out of a panel.

QImage renderSkin(const SkinSpec& skin);
QImage renderButton(const ButtonSpec& button);
QImage renderIcon();

}  // namespace skingen
