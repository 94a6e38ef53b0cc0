// Validation of the configuration table: each edited value gets a diagnosis
// in its Info cell, and Update is enabled only while no Info cell holds one
// and a port is chosen. The rules themselves are in field_rules.
#include "app/mainwindow.h"
#include "config/field_rules.h"
#include "protocol/config_fields.h"
#include "ui_mainwindow.h"

#include <QTableWidgetItem>

namespace {

constexpr int ValueColumn = 0;
constexpr int InfoColumn = 1;

// A missing mandatory value or an unusable port ends the validation of an
// edit at once: the addressee rule is not applied, and Update goes off.
bool stopsValidation(int row, const QString &diagnosis)
{
    if (row == RowSmtpPort)
        return !diagnosis.isEmpty();
    return diagnosis == QLatin1String(kMandatoryText);
}

} // namespace

void MainWindow::on_tableWidget_cellChanged(int row, int col)
{
    // Info writes come back here as changes in column 1 and are ignored.
    if (col != ValueColumn)
        return;
    // While the table is being built a row's value arrives before its Info item.
    if (!ui->tableWidget->item(row, InfoColumn))
        return;
    if (!diagnoseEditedRow(row))
        return;
    applyAddresseeRule();
    refreshUpdateButton();
}

// Writes the row's own diagnosis; false when validation stops there.
bool MainWindow::diagnoseEditedRow(int row)
{
    const QString diagnosis = diagnoseRow(row, tableValues());
    setInfo(row, diagnosis);
    if (row == RowSmtpServerName) {
        // The port is only checked while a server is named, so its verdict
        // depends on this row too.
        on_tableWidget_cellChanged(RowSmtpPort, ValueColumn);
    } else if (stopsValidation(row, diagnosis)) {
        ui->updateButton->setEnabled(false);
        return false;
    }
    return true;
}

void MainWindow::applyAddresseeRule()
{
    const QStringList values = tableValues();
    for (const int row : {RowEmailAccount, RowSmtpServerName}) {
        const QString complaint = addresseeComplaint(row, values);
        if (!complaint.isEmpty())
            setInfo(row, complaint);
        // A complaint that no longer applies gives the row its own verdict back.
        else if (info(row) == addresseeComplaintText(row))
            setInfo(row, diagnoseRow(row, values));
    }
}

void MainWindow::refreshUpdateButton()
{
    for (int row = 0; row < ui->tableWidget->rowCount(); ++row) {
        if (!info(row).isEmpty()) {
            ui->updateButton->setEnabled(false);
            return;
        }
    }
    if (portIsChosen())
        ui->updateButton->setEnabled(true);
}

void MainWindow::revalidateAllRows()
{
    for (int row = 0; row < ui->tableWidget->rowCount(); ++row)
        on_tableWidget_cellChanged(row, ValueColumn);
}

// Ping is enabled exactly while a port is open.
bool MainWindow::portIsChosen() const
{
    return ui->pingButton->isEnabled();
}

QString MainWindow::info(int row) const
{
    const QTableWidgetItem *item = ui->tableWidget->item(row, InfoColumn);
    return item ? item->text() : QString();
}

void MainWindow::setInfo(int row, const QString &text)
{
    if (QTableWidgetItem *item = ui->tableWidget->item(row, InfoColumn))
        item->setText(text);
}
