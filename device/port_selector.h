#ifndef DEVICE_PORT_SELECTOR_H
#define DEVICE_PORT_SELECTOR_H

#include <QComboBox>

// The port selector: a combo box that says when its list is about to open,
// so that the list can be taken afresh first and a port plugged in after
// start-up can be picked.
class PortSelector : public QComboBox
{
    Q_OBJECT

public:
    explicit PortSelector(QWidget *parent = nullptr);

    void showPopup() override;

signals:
    void aboutToShowPopup();
};

#endif // DEVICE_PORT_SELECTOR_H
