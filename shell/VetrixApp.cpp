#include "shell/VetrixApp.h"

#include "log/Log.h"
#include "shell/Pictures.h"
#include "shell/UserPrompts.h"
#include "shell/VetrixDlg.h"

CVetrixApp::CVetrixApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("vetrix"));
    setApplicationVersion(QStringLiteral("1.0"));
    setDesktopFileName(QStringLiteral("vetrix"));
    pictures::Register();
    setWindowIcon(QIcon(pictures::kIcon));
}

int CVetrixApp::InitInstance() {
    CQtUserPrompts prompts;
    CVetrixDlg dlg(prompts);
    if (dlg.OnInitDialog()) {
        dlg.exec();
    }
    // The window closes the log when it ends; this covers every other way out.
    theLog.Close();
    return 0;
}
