// The shared fixtures as QtTest programs use them: a failed step fails the
// test function, buttons are clicked with the mouse, and the certificate
// dialog is answered as a user answers it.
#ifndef TESTS_SUPPORT_QTEST_SUPPORT_H
#define TESTS_SUPPORT_QTEST_SUPPORT_H

#include "tests/support/wait_until.h"

#include <QFileDialog>
#include <QPushButton>
#include <QString>
#include <QtTest>

#include <functional>

// Fails the running test function, as a failed QVERIFY does; the handler the
// fixtures get in QtTest programs.
void failTest(const QString &why);

inline void click(QPushButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton);
}

// Runs `action` on the certificate dialog once it is shown (the dialog runs
// its own event loop inside the click, so the test looks for it from a timer,
// every 10 ms for as many `tries`).
void whenFileDialogShows(std::function<void(QFileDialog *)> action, int tries = kPatienceMs / 10);

// Types `path` into the dialog's file name field and opens it, as a user
// would. (selectFile leaves the field alone while it has the focus.)
void openInFileDialog(QFileDialog *dialog, const QString &path);

// Picks `path` in the certificate dialog.
void chooseInFileDialog(const QString &path);

// Writes `bytes` to a new file at `path`, failing the test function if it cannot.
void writeFile(const QString &path, const QByteArray &bytes);

#endif // TESTS_SUPPORT_QTEST_SUPPORT_H
