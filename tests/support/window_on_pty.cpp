#include "tests/support/window_on_pty.h"

#include "protocol/config_fields.h"
#include "tests/support/wait_until.h"

#include <QComboBox>
#include <QSerialPort>
#include <QTableWidget>

#include <utility>

WindowOnPty::WindowOnPty(FailureHandler onFailure, const QStringList &before,
                         const QStringList &after, Showing showing)
    : pty(onFailure), onFailure_(std::move(onFailure))
{
    qputenv("KESTRO_EXTRA_PORTS",
            (before + QStringList{pty.path()} + after).join(':').toLocal8Bit());
    window.reset(new MainWindow);
    if (showing == Hidden)
        return;
    if (!showExposed(*window))
        onFailure_(QStringLiteral("the window was not exposed"));
}

bool WindowOnPty::pickPort(const QString &path)
{
    const int index = ui().serialPortComboBox->findText(path);
    if (index < 0) {
        onFailure_(QStringLiteral("the port selector does not list ") + path);
        return false;
    }
    pick(index);
    const QSerialPort *port = MainWindowProbe::serialPort(*window);
    if (!port || !port->isOpen()) {
        onFailure_(QStringLiteral("the window did not open ") + path);
        return false;
    }
    return true;
}

QString WindowOnPty::logLine(int row) const
{
    const QTableWidgetItem *item = ui().logTableWidget->item(row, 0);
    return item ? item->text() : QString();
}

QStringList WindowOnPty::logFrom(int first) const
{
    QStringList lines;
    for (int row = first; row < logRows(); ++row)
        lines << logLine(row);
    return lines;
}

void fillValidValues(MainWindow &window)
{
    const std::pair<int, const char *> values[] = {
        {RowHostname, "dev-1"},      {RowSsid, "plant-net"},
        {RowWifiPassword, "secret"}, {RowSmtpServerName, "mail.example.com"},
        {RowSmtpPort, "587"},        {RowEmailAccount, "tech@example.com"},
    };
    QTableWidget *table = MainWindowProbe::ui(window).tableWidget;
    for (const auto &[row, text] : values)
        table->item(row, 0)->setText(QString::fromUtf8(text));
}
