// Placeholder until the device link lands: the slots exist so the window links.
#include "app/mainwindow.h"

void MainWindow::on_pingButton_clicked() {}
void MainWindow::on_queryButton_clicked() {}
void MainWindow::on_updateButton_clicked() {}
void MainWindow::on_uploadCertButton_clicked() {}

void MainWindow::sendMessage(uint16_t messageLength, const QString &firstLine,
                             const QString &header, const QString &trailer)
{
    Q_UNUSED(messageLength);
    Q_UNUSED(firstLine);
    Q_UNUSED(header);
    Q_UNUSED(trailer);
}
