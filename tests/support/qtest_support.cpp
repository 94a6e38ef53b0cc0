#include "tests/support/qtest_support.h"

#include "tests/support/wait_until.h"

#include <QApplication>
#include <QLineEdit>
#include <QTimer>

void failTest(const QString &why)
{
    QTest::qFail(qPrintable(why), __FILE__, __LINE__);
}

void whenFileDialogShows(std::function<void(QFileDialog *)> action, int tries)
{
    QTimer::singleShot(10, qApp, [action, tries] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (dialog && dialog->isVisible())
            action(dialog);
        else if (tries > 1)
            whenFileDialogShows(action, tries - 1);
    });
}

void openInFileDialog(QFileDialog *dialog, const QString &path)
{
    auto *nameField = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    QVERIFY(nameField);
    nameField->setText(path);
    // QFileDialog's own accept is protected; QDialog's reaches it.
    static_cast<QDialog *>(dialog)->accept();
}

void chooseInFileDialog(const QString &path)
{
    whenFileDialogShows([path](QFileDialog *dialog) { openInFileDialog(dialog, path); });
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}
