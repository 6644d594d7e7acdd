#include "shell/VetrixApp.h"

#include <QLibraryInfo>
#include <QLocale>

#include "shell/Pictures.h"
#include "shell/UserPrompts.h"
#include "shell/VetrixDlg.h"

CVetrixApp::CVetrixApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("vetrix"));
    setApplicationVersion(QStringLiteral("1.0"));
    setDesktopFileName(QStringLiteral("vetrix"));
    pictures::Register();
    setWindowIcon(QIcon(pictures::kIcon));

    // The window speaks Chinese whatever the desktop's language, so Qt's own words in the
    // file choosers (buttons, the question before replacing a file) should too. Without the
    // translation files they stay English.
    if (m_qtTranslator.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                            QStringLiteral("_"),
                            QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        installTranslator(&m_qtTranslator);
    }
}

int CVetrixApp::InitInstance() {
    CQtUserPrompts prompts;
    CVetrixDlg dlg(prompts);
    if (dlg.OnInitDialog()) {
        dlg.exec();
    }
    return 0;
}
