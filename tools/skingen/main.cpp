// vetrix-skingen: draws the window's pictures (skins, buttons, icon) into a folder.
//
//     vetrix-skingen shell/res
//
// The output is the same, byte for byte, on every run on the same machine: all fonts come
// from fixed files, and nothing depends on the screen or the desktop settings.

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>

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

bool save(const QImage& image, const QDir& folder, const char* name) {
    const QString path = folder.filePath(QString::fromLatin1(name));
    if (image.save(path, "PNG")) return true;
    fail(QStringLiteral("cannot write %1").arg(path));
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
        for (const skingen::SkinSpec& skin : skingen::kSkins)
            ok = save(skingen::renderSkin(skin), folder, skin.fileName) && ok;
        for (const skingen::ButtonSpec& button : skingen::kButtons)
            ok = save(skingen::renderButton(button), folder, button.fileName) && ok;
        ok = save(skingen::renderIcon(), folder, skingen::kIconFile) && ok;
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        fail(QString::fromUtf8(e.what()));
        return 1;
    }
}
