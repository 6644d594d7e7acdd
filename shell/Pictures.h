#pragma once

#include <QString>

/// The pictures compiled into the program (shell/res/vetrix.qrc).
namespace pictures {

inline const QString kButtonOpen = QStringLiteral(":/res/btn_open.png");
inline const QString kButtonSave = QStringLiteral(":/res/btn_save.png");
inline const QString kButtonSaveGrey = QStringLiteral(":/res/btn_save_grey.png");
inline const QString kButtonExit = QStringLiteral(":/res/btn_exit.png");
inline const QString kIcon = QStringLiteral(":/res/icon.png");

/// The 800 x 600 skin of a verdict (a ResultState code); the idle skin for codes outside 0..6.
QString SkinFor(int state);

/// Makes the pictures reachable. The resources live in a static library, whose registration
/// code the linker would otherwise leave out; every user of the pictures calls this first.
void Register();

}  // namespace pictures
