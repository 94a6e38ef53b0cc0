#include "device/port_selector.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QKeyEvent>

PortSelector::PortSelector(QWidget *parent) : QComboBox(parent)
{
    view()->installEventFilter(this);
}

void PortSelector::showPopup()
{
    emit aboutToShowPopup();
    QComboBox::showPopup();
}

void PortSelector::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End: showPopup(); return;
    default: break;
    }
    // Typing a port's first letters finds it in the open list.
    const QString text = event->text();
    if (event->key() != Qt::Key_Space && !text.isEmpty() && text.at(0).isPrint()) {
        showPopup();
        view()->keyboardSearch(text);
        return;
    }
    QComboBox::keyPressEvent(event);
}

// In the open list Space picks as Enter does, through the list's own picking.
bool PortSelector::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == view() && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier) {
            QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QCoreApplication::sendEvent(view(), &enter);
            return true;
        }
    }
    return QComboBox::eventFilter(watched, event);
}
