#ifndef DEVICE_PORT_SELECTOR_H
#define DEVICE_PORT_SELECTOR_H

#include <QComboBox>

// The port selector: a combo box that says when its list is about to open,
// so that the list can be taken afresh first and a port plugged in after
// start-up can be picked. Picking a port opens it at once, so no key picks
// one while the list is closed: the keys that would step to another entry
// open the list instead, where Enter or Space picks and Escape leaves.
class PortSelector : public QComboBox
{
    Q_OBJECT

public:
    explicit PortSelector(QWidget *parent = nullptr);

    void showPopup() override;

signals:
    void aboutToShowPopup();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
};

#endif // DEVICE_PORT_SELECTOR_H
