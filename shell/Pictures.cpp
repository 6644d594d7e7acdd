#include "shell/Pictures.h"

#include <QtGlobal>

#include "engine/ResultState.h"

// Q_INIT_RESOURCE names a function at global scope, so it cannot be used inside the namespace.
static void RegisterVetrixResources() {
    Q_INIT_RESOURCE(vetrix);
}

namespace pictures {

QString SkinFor(int state) {
    switch (state) {
        case Passed:
            return QStringLiteral(":/res/skin_passed.png");
        case BadBackground:
            return QStringLiteral(":/res/skin_bad_background.png");
        case BadFormat:
            return QStringLiteral(":/res/skin_bad_format.png");
        case NoSinglePortrait:
            return QStringLiteral(":/res/skin_no_single_portrait.png");
        case BadProportion:
            return QStringLiteral(":/res/skin_bad_proportion.png");
        case BadSize:
            return QStringLiteral(":/res/skin_bad_size.png");
        case Idle:
        default:
            return QStringLiteral(":/res/skin_idle.png");
    }
}

void Register() {
    static const bool registered = (RegisterVetrixResources(), true);
    (void)registered;
}

}  // namespace pictures
