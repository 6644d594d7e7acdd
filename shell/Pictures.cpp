#include "shell/Pictures.h"

#include <QImage>
#include <QtGlobal>

#include <algorithm>
#include <iterator>

#include "present/WindowLayout.h"

// Q_INIT_RESOURCE names a function at global scope, so it cannot be used inside the namespace.
static void RegisterVetrixResources() {
    Q_INIT_RESOURCE(vetrix);
}

namespace pictures {
namespace {

const QString kFolder = QStringLiteral(":/res/");

QString Resource(const char* file) {
    return kFolder + QLatin1String(file);
}

}  // namespace

const QString kButtonOpen = Resource(layout::kButtonOpenFile);
const QString kButtonSave = Resource(layout::kButtonSaveFile);
const QString kButtonSaveGrey = Resource(layout::kButtonSaveGreyFile);
const QString kButtonExit = Resource(layout::kButtonExitFile);
const QString kIcon = Resource(layout::kIconFile);

QString SkinFor(int state) {
    const auto index = static_cast<std::size_t>(state);
    return Resource(state >= 0 && index < layout::kSkinFiles.size() ? layout::kSkinFiles[index]
                                                                     : layout::kSkinFiles[0]);
}

QString AtScale(const QString& picture, int percent) {
    if (percent == 100 || !picture.startsWith(kFolder)) {
        return picture;
    }
    return kFolder + QString::number(percent) + u'/' + picture.mid(kFolder.size());
}

QPixmap ForDevice(const QString& picture, qreal devicePixelRatio) {
    if (!(devicePixelRatio > 0.0 && devicePixelRatio <= 16.0)) {
        return {};
    }
    // Qt's pixmap cache keeps each file decoded once.
    const QPixmap base(picture);
    if (base.isNull()) {
        return {};
    }
    const QSize target(layout::ToDevicePixels(base.width(), devicePixelRatio),
                       layout::ToDevicePixels(base.height(), devicePixelRatio));
    // The smallest rendering at least as fine as the device, else the finest there is:
    // scaling down blurs less than scaling up.
    const auto& scales = layout::kPictureScalesPercent;
    const auto finer = std::find_if(scales.begin(), scales.end(), [&](int percent) {
        return percent / 100.0 >= devicePixelRatio - 1e-9;
    });
    const int percent = finer != scales.end() ? *finer : scales.back();
    QPixmap pixmap(AtScale(picture, percent));
    if (pixmap.isNull()) {
        return {};
    }
    if (pixmap.size() != target) {
        pixmap = pixmap.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon AllScales(const QString& picture) {
    QIcon icon;
    for (const int percent : layout::kPictureScalesPercent) {
        QPixmap pixmap(AtScale(picture, percent));
        pixmap.setDevicePixelRatio(percent / 100.0);
        icon.addPixmap(pixmap);
    }
    return icon;
}

void Register() {
    static const bool registered = (RegisterVetrixResources(), true);
    (void)registered;
}

}  // namespace pictures
