#pragma once

#include <QApplication>
#include <QTranslator>

/// The application object; one at a time per process.
class CVetrixApp : public QApplication {
    Q_OBJECT

public:
    CVetrixApp(int& argc, char** argv);

    /// The program: an application, start-up, then the main window until the user leaves.
    /// When the window fits the screen only at a lower scale than the desktop's, the
    /// application is made again at that scale (Qt fixes the scale when an application
    /// starts). Returns the process's exit code.
    static int Run(int argc, char** argv);

    /// Start-up, then the main window until the user leaves. Returns the process's exit code.
    /// When the window did not start because it fits only at a lower scale, that scale is in
    /// m_fRestartScale.
    int InitInstance();

    qreal m_fRestartScale = 0;  ///< see InitInstance; 0 when no new start is needed

private:
    QTranslator m_qtTranslator;  ///< Chinese for Qt's own dialogs, when installed
};
