#include "device/port_selector.h"

PortSelector::PortSelector(QWidget *parent) : QComboBox(parent) {}

void PortSelector::showPopup()
{
    emit aboutToShowPopup();
    QComboBox::showPopup();
}
