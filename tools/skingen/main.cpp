// vetrix-skingen: draws the window's pictures (skins, buttons, icon) into a folder, once per
// scale in layout::kPictureScalesPercent, and the resource list vetrix.qrc that names them.
//
//     vetrix-skingen shell/res
//     vetrix-skingen --app-icons web/icons     (the web page's install icons, 192 and 512 px)
//
// The output is the same, byte for byte, on every run on the same machine: all fonts come
// from fixed files, and nothing depends on the screen or the desktop settings.

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QSaveFile>

#include <cstdio>
#include <exception>

#include "SkinLayout.h"
#include "SkinPainter.h"

namespace {

void fail(const QString& message) {
    std::fprintf(stderr, "vetrix-skingen: %s\n", qUtf8Printable(message));
}

bool loadFonts() {
    bool familyFound = false;
    for (const char* file : skingen::kFontFiles) {
        const QString path = QString::fromLatin1(file);
        const int id = QFile::exists(path) ? QFontDatabase::addApplicationFont(path) : -1;
        if (id < 0) {
            fail(QStringLiteral("cannot load the font %1 (install the Debian package "
                                "fonts-noto-cjk)")
                     .arg(path));
            return false;
        }
        familyFound = familyFound || QFontDatabase::applicationFontFamilies(id).contains(
                                         QString::fromLatin1(skingen::kFontFamily));
    }
    if (!familyFound) {
        fail(QStringLiteral("the font files do not hold the family \"%1\"")
                 .arg(QString::fromLatin1(skingen::kFontFamily)));
    }
    return familyFound;
}

// Where a picture rendered at `percent` lives, relative to the output folder.
QString picturePath(int percent, const char* name) {
    const QString file = QString::fromLatin1(name);
    return percent == 100 ? file : QStringLiteral("%1/%2").arg(percent).arg(file);
}

// PNG's strongest compression: the pictures are compiled into the program.
constexpr int kPngQualitySmallest = 0;

bool save(const QImage& image, const QDir& folder, const QString& relativePath) {
    const QString path = folder.filePath(relativePath);
    if (!QFileInfo(path).dir().mkpath(QStringLiteral("."))) {
        fail(QStringLiteral("cannot create the folder of %1").arg(path));
        return false;
    }
    if (image.save(path, "PNG", kPngQualitySmallest)) return true;
    fail(QStringLiteral("cannot write %1").arg(path));
    return false;
}

// The Qt resource list of every picture, under the prefix /res.
bool saveResourceList(const QStringList& pictures, const QDir& folder) {
    QByteArray qrc = "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n    <qresource prefix=\"/res\">\n";
    for (const QString& picture : pictures)
        qrc += "        <file>" + picture.toUtf8() + "</file>\n";
    qrc += "    </qresource>\n</RCC>\n";
    QSaveFile file(folder.filePath(QStringLiteral("vetrix.qrc")));
    if (file.open(QIODevice::WriteOnly) && file.write(qrc) == qrc.size() && file.commit())
        return true;
    fail(QStringLiteral("cannot write %1").arg(file.fileName()));
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Never open a window, whatever display the caller has.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vetrix-skingen"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Draws the skins, button pictures and icon of the Vetrix window."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("folder"),
                                 QStringLiteral("Where to write the PNG files (shell/res)."));
    const QCommandLineOption appIcons(
        QStringLiteral("app-icons"),
        QStringLiteral("Write only the icon at the sizes an installed web page needs "
                       "(icon-192.png, icon-512.png)."));
    parser.addOption(appIcons);
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    if (args.size() != 1) {
        fail(QStringLiteral("expected exactly one argument, the output folder"));
        return 2;
    }

    if (!loadFonts()) return 1;
    const QDir folder(args.first());
    if (!folder.mkpath(QStringLiteral("."))) {
        fail(QStringLiteral("cannot create the folder %1").arg(folder.path()));
        return 1;
    }

    try {
        bool ok = true;
        QStringList written;
        if (parser.isSet(appIcons)) {
            // Drawn at the scale that gives each size, as sharp as the window's own icon.
            for (const int size : {192, 512}) {
                const double scale = static_cast<double>(size) / skingen::kIconSize;
                ok = save(skingen::renderIcon(scale), folder,
                          QStringLiteral("icon-%1.png").arg(size)) &&
                     ok;
            }
            return ok ? 0 : 1;
        }
        const auto put = [&](const QImage& image, int percent, const char* name) {
            const QString path = picturePath(percent, name);
            ok = save(image, folder, path) && ok;
            written << path;
        };
        for (const int percent : layout::kPictureScalesPercent) {
            const double scale = percent / 100.0;
            for (const skingen::SkinContent& skin : skingen::kSkins)
                put(skingen::renderSkin(skin, scale), percent, skin.fileName);
            for (const skingen::ButtonLook& button : skingen::kButtons)
                put(skingen::renderButton(button, scale), percent, button.fileName);
            put(skingen::renderIcon(scale), percent, skingen::kIconFile);
        }
        ok = ok && saveResourceList(written, folder);
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        fail(QString::fromUtf8(e.what()));
        return 1;
    }
}
