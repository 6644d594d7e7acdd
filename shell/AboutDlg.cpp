#include "shell/AboutDlg.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "vetrix/Version.h"

CAboutDlg::CAboutDlg(const QIcon& icon, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("关于 Vetrix"));
    setWindowIcon(icon);

    auto* picture = new QLabel(this);
    picture->setPixmap(icon.pixmap(QSize(64, 64)));
    picture->setAlignment(Qt::AlignTop);

    m_staticVersion = new QLabel(tr("Vetrix，%1 版").arg(QString::fromLatin1(kVetrixVersion)), this);
    m_staticPurpose = new QLabel(tr("报名照片上传前的审核与规范化工具"), this);
    for (QLabel* label : {m_staticVersion, m_staticPurpose}) {
        label->setTextFormat(Qt::PlainText);
    }

    m_btnOk = new QPushButton(tr("确定"), this);
    m_btnOk->setDefault(true);
    connect(m_btnOk, &QPushButton::clicked, this, &QDialog::accept);

    auto* text = new QVBoxLayout;
    text->addWidget(m_staticVersion);
    text->addWidget(m_staticPurpose);
    text->addStretch();
    text->addWidget(m_btnOk, 0, Qt::AlignRight);

    auto* layout = new QHBoxLayout(this);
    layout->addWidget(picture);
    layout->addLayout(text);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
