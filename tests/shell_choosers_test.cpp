// The open and save choosers as the window builds them: filters, names and confirmations.

#include <algorithm>

#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "shell/UserPrompts.h"

namespace {

void Touch(const QString& path) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

// The names that the chooser's list offers in its current folder.
QStringList OfferedNames(QFileDialog& chooser) {
    const auto* list = chooser.findChild<QListView*>(QStringLiteral("listView"));
    if (list == nullptr || list->model() == nullptr) {
        return {};
    }
    QStringList names;
    const QModelIndex root = list->rootIndex();
    for (int row = 0; row < list->model()->rowCount(root); ++row) {
        names << list->model()->index(row, 0, root).data().toString();
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
    const auto* types = chooser->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    QVERIFY(types != nullptr);
    QCOMPARE(types->count(), 1);
    QCOMPARE(types->itemText(0), QStringLiteral("JPEG文件(*.jpg,*.jpeg,*.jpe)"));

    // Shown without its own event loop, so nothing waits on it.
    chooser->setDirectory(dir.path());
    chooser->show();
    QStringList expected = jpegs;
    expected.sort();
    QTRY_COMPARE(OfferedNames(*chooser), expected);
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
    const auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(name != nullptr);
    QCOMPARE(name->text(), QStringLiteral("报名照片.jpg"));
}

void ShellChoosersTest::saveChooserAddsTheSuffix() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto chooser = MakeSaveChooser(nullptr);
    chooser->setDirectory(dir.path());
    chooser->show();
    auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(name != nullptr);
    name->setText(QStringLiteral("我的照片"));

    // A new name: the chooser accepts at once, without a question.
    QSignalSpy accepted(chooser.get(), &QDialog::accepted);
    QTest::keyClick(name, Qt::Key_Return);
    QTRY_COMPARE(accepted.count(), 1);
    QCOMPARE(chooser->selectedFiles(), QStringList{dir.filePath(QStringLiteral("我的照片.jpg"))});
}

QTEST_MAIN(ShellChoosersTest)
#include "shell_choosers_test.moc"
