// The open and save choosers as the window builds them: filters, names and confirmations.

#include <algorithm>

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QSortFilterProxyModel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "shell/UserPrompts.h"

namespace {

void Touch(const QString& path) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

// The names that the chooser offers in `folder`: its file model, reached through a pass-through
// proxy (QFileDialog::setProxyModel), applies the name filter.
QStringList OfferedNames(const QSortFilterProxyModel& proxy, const QString& folder) {
    const auto* files = qobject_cast<const QFileSystemModel*>(proxy.sourceModel());
    if (files == nullptr) {
        return {};
    }
    const QModelIndex root = files->index(folder);
    QStringList names;
    for (int row = 0; row < files->rowCount(root); ++row) {
        names << files->index(row, 0, root).data().toString();
    }
    names.sort();
    return names;
}

}  // namespace

class ShellChoosersTest : public QObject {
    Q_OBJECT

private slots:
    void openChooserOffersJpegFilesInAnyCase();
    void saveChooserProposesTheRegistrationName();
    void saveChooserAddsTheSuffix();
};

void ShellChoosersTest::openChooserOffersJpegFilesInAnyCase() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QStringList jpegs = {"IMG_0001.JPG", "a.jpg", "b.jpeg", "c.JPEG", "d.jpe",
                               "e.Jpe",        "证件照 100%.jpg"};
    const QStringList others = {"f.png", "g.txt", "h.jpg.txt", "jpg", "i.jpgx"};
    for (const QString& name : jpegs + others) {
        Touch(dir.filePath(name));
    }

    const auto chooser = MakeOpenChooser(nullptr);
    QCOMPARE(chooser->windowTitle(), QStringLiteral("打开照片"));
    QCOMPARE(chooser->acceptMode(), QFileDialog::AcceptOpen);
    QCOMPARE(chooser->fileMode(), QFileDialog::ExistingFile);
    QCOMPARE(chooser->nameFilters().size(), 1);
    const QString label = QStringLiteral("JPEG文件(*.jpg,*.jpeg,*.jpe)");
    QVERIFY(chooser->nameFilters().front().startsWith(label));
    QVERIFY(chooser->testOption(QFileDialog::HideNameFilterDetails));

    // Shown without its own event loop, so nothing waits on it.
    auto* proxy = new QSortFilterProxyModel(chooser.get());
    chooser->setProxyModel(proxy);
    chooser->setDirectory(dir.path());
    chooser->show();
    QStringList expected = jpegs;
    expected.sort();
    QTRY_COMPARE(OfferedNames(*proxy, dir.path()), expected);
    chooser->reject();
}

void ShellChoosersTest::saveChooserProposesTheRegistrationName() {
    const auto chooser = MakeSaveChooser(nullptr);
    QCOMPARE(chooser->windowTitle(), QStringLiteral("保存照片"));
    QCOMPARE(chooser->acceptMode(), QFileDialog::AcceptSave);
    QCOMPARE(chooser->nameFilters(), QStringList{QStringLiteral("JPEG文件(*.jpg)")});
    QCOMPARE(chooser->defaultSuffix(), QStringLiteral("jpg"));
    // Replacing an existing file is asked first.
    QVERIFY(!chooser->testOption(QFileDialog::DontConfirmOverwrite));
    QCOMPARE(chooser->selectedFiles().size(), 1);
    QCOMPARE(QFileInfo(chooser->selectedFiles().front()).fileName(),
             QStringLiteral("报名照片.jpg"));
}

void ShellChoosersTest::saveChooserAddsTheSuffix() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto chooser = MakeSaveChooser(nullptr);
    chooser->setDirectory(dir.path());
    chooser->show();
    chooser->selectFile(QStringLiteral("我的照片"));

    // A new name: the chooser accepts at once, without a question.
    QSignalSpy accepted(chooser.get(), &QDialog::accepted);
    static_cast<QDialog*>(chooser.get())->accept();  // what the dialog's Save button does
    QTRY_COMPARE(accepted.count(), 1);
    QCOMPARE(chooser->selectedFiles(), QStringList{dir.filePath(QStringLiteral("我的照片.jpg"))});
}

QTEST_MAIN(ShellChoosersTest)
#include "shell_choosers_test.moc"
