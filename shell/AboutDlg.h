#pragma once

#include <QDialog>

class QIcon;
class QLabel;
class QPushButton;

/// The about box: the icon, the name and version, one line on what the program is for, and
/// an OK button.
class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    CAboutDlg(const QIcon& icon, QWidget* parent = nullptr);

    QLabel* m_staticVersion = nullptr;
    QLabel* m_staticPurpose = nullptr;
    QPushButton* m_btnOk = nullptr;
};
