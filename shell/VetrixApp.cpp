#include "shell/VetrixApp.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QScreen>

#include <vector>

#include "shell/Pictures.h"
#include "shell/UserPrompts.h"
#include "shell/VetrixDlg.h"
#include "vetrix/Version.h"

CVetrixApp::CVetrixApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("vetrix"));
    setApplicationVersion(QString::fromLatin1(kVetrixVersion));
    setDesktopFileName(QStringLiteral("vetrix"));
    pictures::Register();
    setWindowIcon(pictures::AllScales(pictures::kIcon));

    // The window speaks Chinese whatever the desktop's language, so Qt's own words in the
    // file choosers (buttons, the question before replacing a file) should too. Without the
    // translation files they stay English. A build that carries its own (Windows, where Qt
    // is linked in and has no folder of its own) has them among its resources.
    for (const QString& folder :
         {QLibraryInfo::path(QLibraryInfo::TranslationsPath), QStringLiteral(":/translations")}) {
        if (m_qtTranslator.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                                QStringLiteral("_"), folder)) {
            installTranslator(&m_qtTranslator);
            break;
        }
    }
}

int CVetrixApp::Run(int argc, char** argv) {
    // Qt takes the options it understands (-platform, -display, ...) out of the arguments it
    // is given; each application gets them all.
    const std::vector<char*> arguments(argv, argv + argc + 1);
    // Each new start lowers the scale, and at one device pixel per window unit the window
    // fits any screen that passes the check, so two new starts suffice; the bound only guards
    // against a platform that ignores the scale asked for.
    constexpr int kStarts = 3;
    for (int start = 1;; ++start) {
        std::vector<char*> args = arguments;
        int count = argc;
        qreal restartScale = 0;
        qreal ratio = 1;
        {
            CVetrixApp app(count, args.data());
            const int code = app.InitInstance();
            if (app.m_fRestartScale <= 0 || start == kStarts) {
                return code;
            }
            restartScale = app.m_fRestartScale;
            const QScreen* screen = primaryScreen();
            ratio = screen != nullptr ? screen->devicePixelRatio() : 1.0;
        }
        // Qt multiplies the platform's scale by QT_SCALE_FACTOR; ask for the fitting one.
        bool set = false;
        qreal factor = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&set);
        if (!set || !(factor > 0)) {
            factor = 1;
        }
        qputenv("QT_SCALE_FACTOR", QByteArray::number(factor * restartScale / ratio, 'g', 10));
    }
}

int CVetrixApp::InitInstance() {
    CQtUserPrompts prompts;
    CVetrixDlg dlg(prompts);
    if (dlg.OnInitDialog()) {
        dlg.exec();
    } else {
        m_fRestartScale = dlg.m_fFittingScale;
    }
    return 0;
}
