// The configuration table: its rows and columns, and the conversions between
// the table and the DeviceConfig record.
#include "app/mainwindow.h"
#include "config/config_values.h"
#include "protocol/config_fields.h"
#include "ui_mainwindow.h"

#include <QTableWidgetItem>

namespace {

constexpr int kConfigColumnWidth = 320;
constexpr int kConfigRowHeight = 20;

QTableWidgetItem *newCell(Qt::ItemFlags flags)
{
    auto *item = new QTableWidgetItem(QString());
    item->setFlags(flags);
    item->setTextAlignment(Qt::AlignLeft);
    return item;
}

} // namespace

// Runs while the form's slots are already connected: filling the table
// reaches the validation slot, which ignores what this produces.
void MainWindow::setUpConfigTable()
{
    columnHeaderLabels << QStringLiteral("Values") << QStringLiteral("Info");
    for (const ConfigField &field : kConfigFields)
        rowHeaderLabels << QString::fromLatin1(field.rowName);

    QTableWidget *table = ui->tableWidget;
    table->setColumnCount(columnHeaderLabels.size());
    table->setRowCount(rowHeaderLabels.size());
    table->setHorizontalHeaderLabels(columnHeaderLabels);
    table->setVerticalHeaderLabels(rowHeaderLabels);
    table->setColumnWidth(0, kConfigColumnWidth);
    table->setColumnWidth(1, kConfigColumnWidth);

    for (int i = 0; i < rowHeaderLabels.size(); ++i) {
        table->setRowHeight(i, kConfigRowHeight);
        // The value item goes in before the Info item: the validation slot
        // ignores a row without Info item, so nothing is diagnosed here.
        table->setItem(i, 0,
                       newCell(Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsEnabled));
        table->setItem(i, 1, newCell(Qt::ItemIsSelectable | Qt::ItemIsEnabled));
        rowIndexByName.insert(rowHeaderLabels.at(i), i);
    }
}

QStringList MainWindow::tableValues() const
{
    QStringList values;
    for (const ConfigField &field : kConfigFields) {
        const QTableWidgetItem *item =
            ui->tableWidget->item(rowIndexByName.value(QLatin1String(field.rowName)), 0);
        values << (item ? item->text() : QString());
    }
    return values;
}

void MainWindow::buildConfig(DeviceMessage &message)
{
    message.msgId = MSG_CONFIG_UPDATE_REQUEST;
    configFromValues(tableValues(), message.payload.config);
}

void MainWindow::showConfig(const DeviceMessage &message)
{
    const QStringList values = valuesFromConfig(message.payload.configQueryResponse.config);
    for (int row = 0; row < ConfigRowCount; ++row) {
        // Each row whose text changes is validated as it is set.
        QTableWidgetItem *item = ui->tableWidget->item(
            rowIndexByName.value(QLatin1String(kConfigFields[row].rowName)), 0);
        if (item)
            item->setText(values.at(row));
    }
}
