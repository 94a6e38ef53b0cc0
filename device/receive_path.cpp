// Placeholder until the device link lands: the slots exist so the window links.
#include "app/mainwindow.h"

void MainWindow::on_readyRead() {}

void MainWindow::on_msgReady(int msgLen)
{
    Q_UNUSED(msgLen);
}
