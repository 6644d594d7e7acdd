#pragma once

#include <QApplication>
#include <QTranslator>

/// The application object; one per process.
class CVetrixApp : public QApplication {
    Q_OBJECT

public:
    CVetrixApp(int& argc, char** argv);

    /// Runs the program: start-up, then the main window until the user leaves. Returns the
    /// process's exit code.
    int InitInstance();

private:
    QTranslator m_qtTranslator;  ///< Chinese for Qt's own dialogs, when installed
};
