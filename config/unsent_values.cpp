// Values typed and not yet sent: a Value cell that differs from what the
// device last reported is marked (in italics, with a note in its tooltip)
// until an Update carries it or a Query shows the same value; and a Query's
// answer that replaces what was typed while it was on its way says so.
//
// Rows stand in field order, as tableValues() lists them.
#include "app/mainwindow.h"
#include "config/config_cell_delegate.h"
#include "ui_mainwindow.h"

#include <QSignalBlocker>
#include <QTableWidgetItem>

void MainWindow::setUpUnsentMarks()
{
    deviceValues = tableValues();
    valuesAtQuery = deviceValues;
    connect(ui->tableWidget, &QTableWidget::cellChanged, this, [this](int row, int col) {
        if (col == 0)
            markUnsentRow(row);
    });
}

void MainWindow::markUnsentRow(int row)
{
    QTableWidgetItem *item = ui->tableWidget->item(row, 0);
    if (!item)
        return;
    const bool unsent = item->text() != deviceValues.value(row);
    if (item->data(kUnsentRole).toBool() == unsent)
        return;
    // How the cell is shown, not an edit of its value: nothing is validated.
    const QSignalBlocker quiet(ui->tableWidget);
    item->setData(kUnsentRole, unsent);
}

void MainWindow::markUnsentRows()
{
    for (int row = 0; row < ui->tableWidget->rowCount(); ++row)
        markUnsentRow(row);
}

bool MainWindow::hasUnsentValues() const
{
    for (int row = 0; row < ui->tableWidget->rowCount(); ++row) {
        const QTableWidgetItem *item = ui->tableWidget->item(row, 0);
        if (item && item->data(kUnsentRole).toBool())
            return true;
    }
    return false;
}

// The device holds `values` now: an Update carried them, or a Query showed them.
void MainWindow::takeDeviceValues(const QStringList &values)
{
    deviceValues = values;
    markUnsentRows();
}

void MainWindow::showDeviceConfig(const DeviceMessage &message)
{
    const QStringList typed = tableValues();
    showConfig(message);
    takeDeviceValues(tableValues());
    for (int row = 0; row < typed.size(); ++row) {
        if (typed.at(row) != valuesAtQuery.value(row) && typed.at(row) != deviceValues.at(row))
            appendLog(QStringLiteral("%0: the device's value replaced what was typed")
                          .arg(rowHeaderLabels.value(row)));
    }
}
