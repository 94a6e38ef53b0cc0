// A bench for end-to-end tests of the device link: a real pseudo-terminal
// whose far end the test plays as the device, and the real window, whose port
// is picked in the selector and whose buttons are clicked.
#ifndef TESTS_DEVICE_DEVICE_BENCH_H
#define TESTS_DEVICE_DEVICE_BENCH_H

#include "tests/support/main_window_probe.h"
#include "tests/support/raw_pty.h"
#include "tools/devsim/simulator.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

using Probe = MainWindowProbe;

// Upper bound for anything the tests wait for; a correct run needs far less.
constexpr int kPatienceMs = 5000;

inline QByteArray bytesOf(const devsim::Bytes &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

// The wire bytes of one frame carrying `message`, from the project's encoder.
inline QByteArray frameOf(const QByteArray &message)
{
    return bytesOf(frameMessage(reinterpret_cast<const uint8_t *>(message.constData()),
                                size_t(message.size())));
}

// A message: a 32-bit little-endian id, then `rest`.
inline QByteArray messageOf(uint32_t id, const QByteArray &rest = QByteArray())
{
    QByteArray message(4, '\0');
    for (int i = 0; i < 4; ++i)
        message[i] = char(id >> (8 * i));
    return message + rest;
}

inline QByteArray le32(int32_t value)
{
    return messageOf(uint32_t(value));
}

// A log's hex dump of `bytes`: " xx" for each.
inline QString hexOf(const QByteArray &bytes)
{
    QString text;
    for (const char byte : bytes)
        text += QStringLiteral(" %1").arg(uint8_t(byte), 2, 16, QLatin1Char('0'));
    return text;
}

inline QString readLine(const QByteArray &bytes)
{
    return QStringLiteral("\r\nRead %1 bytes:").arg(bytes.size()) + hexOf(bytes);
}

// The terminal whose master end the test plays as the device.
class PtyPair
{
public:
    PtyPair()
    {
        if (!raw_.isOpen())
            qFatal("cannot open a pseudo-terminal: %s", strerror(raw_.openError()));
    }

    QString path() const { return QString::fromStdString(raw_.path()); }

    // Plays the device's side: writes every byte, letting the window read
    // whenever the terminal's buffer is full.
    void write(const QByteArray &bytes)
    {
        QVERIFY2(writeAll(raw_.master(), bytes.constData(), size_t(bytes.size()), kPatienceMs,
                          [] { QTest::qWait(1); }),
                 "the device side could not write its bytes");
    }

    // Whatever the window has written so far; waits up to kPatienceMs for at
    // least `atLeast` bytes.
    QByteArray read(int atLeast = 1)
    {
        std::string bytes;
        // Fewer bytes than asked for are the test's to judge.
        static_cast<void>(readAtLeast(raw_.master(), bytes, size_t(atLeast), kPatienceMs));
        return QByteArray::fromStdString(bytes);
    }

    // Bytes the window has written that are still unread, without waiting.
    QByteArray pending() { return read(0); }

    void closeMaster() { raw_.closeMaster(); }

private:
    RawPty raw_;
};

// The window with a pseudo-terminal among its extra ports.
class DeviceBench
{
public:
    // `before` and `after` are extra port paths listed around the terminal's.
    explicit DeviceBench(const QStringList &before = {}, const QStringList &after = {})
    {
        qputenv("KESTRO_EXTRA_PORTS",
                (before + QStringList{pty.path()} + after).join(':').toLocal8Bit());
        window.reset(new MainWindow);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            qWarning("the window was not exposed");
    }

    WindowWidgets ui() { return Probe::ui(*window); }

    // Selector index of the terminal's entry: after the placeholder, the
    // discovered ports and the `before` paths.
    int ptyIndex() const { return ui_const().serialPortComboBox->findText(pty.path()); }

    void pick(int index) { ui().serialPortComboBox->setCurrentIndex(index); }
    void pickPty() { pick(ptyIndex()); }

    void click(QPushButton *button) { QTest::mouseClick(button, Qt::LeftButton); }

    QStringList log()
    {
        QStringList lines;
        QTableWidget *table = ui().logTableWidget;
        for (int row = 0; row < table->rowCount(); ++row)
            lines << (table->item(row, 0) ? table->item(row, 0)->text() : QString());
        return lines;
    }
    // The log lines from `first` on.
    QStringList logFrom(int first) { return log().mid(first); }

    void setValue(const QString &row, const QString &text)
    {
        ui().tableWidget->item(Probe::rowIndexByName(*window).value(row), 0)->setText(text);
    }
    QString value(const QString &row)
    {
        return ui().tableWidget->item(Probe::rowIndexByName(*window).value(row), 0)->text();
    }
    QString info(int row) { return ui().tableWidget->item(row, 1)->text(); }

    // A value for every row that passes every check, so that Update is enabled.
    void fillValidValues()
    {
        setValue("Hostname", "dev-1");
        setValue("Description", "bench unit");
        setValue("SSID", "lab net");
        setValue("Wifi Password", "wifi pass");
        setValue("SMTP Server Name", "mail.example.com");
        setValue("SMTP Port", "587");
        setValue("Email Account", "unit@example.com");
        setValue("Email Password", "mail pass");
        setValue("Addressee 1", "ops@example.com");
    }

    PtyPair pty;
    std::unique_ptr<MainWindow> window;

private:
    WindowWidgets ui_const() const { return Probe::ui(*window); }
};

// Runs `action` on the certificate dialog once it is shown (the dialog runs
// its own event loop inside the click, so the test reaches it from a timer).
inline void whenFileDialogShows(std::function<void(QFileDialog *)> action)
{
    auto *timer = new QTimer(qApp);
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, tries, action]() {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (dialog && dialog->isVisible()) {
            timer->stop();
            timer->deleteLater();
            action(dialog);
        } else if (++*tries > kPatienceMs / 10) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

// Types `path` into the dialog's file name field and opens it, as a user
// would. (selectFile leaves the field alone while it has the focus.)
inline void openInFileDialog(QFileDialog *dialog, const QString &path)
{
    auto *nameField = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    QVERIFY(nameField);
    nameField->setText(path);
    // QFileDialog's own accept is protected; QDialog's reaches it.
    static_cast<QDialog *>(dialog)->accept();
}

// Picks `path` in the certificate dialog.
inline void chooseInFileDialog(const QString &path)
{
    whenFileDialogShows([path](QFileDialog *dialog) { openInFileDialog(dialog, path); });
}

#endif // TESTS_DEVICE_DEVICE_BENCH_H
