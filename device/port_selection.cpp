// Placeholder until the device link lands: the slot exists so the window links.
#include "app/mainwindow.h"

void MainWindow::on_serialPortComboBox_currentIndexChanged(int index)
{
    Q_UNUSED(index);
}
