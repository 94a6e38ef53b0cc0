// The window for a technician without a mouse: Tab leaves the tables and
// walks the controls in the order they stand on screen, each button has a
// key, every key is named in a tooltip, a diagnosis shows as the focus
// reaches its row, and the passwords stay hidden from onlookers until asked
// for.
#include "app/mainwindow.h"
#include "config/config_cell_delegate.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFocusFrame>
#include <QMenu>
#include <QShortcut>
#include <QTableWidget>
#include <QToolTip>

#include <functional>
#include <iterator>
#include <utility>

namespace {

// A key and what it does, as a tooltip line.
QString keyLine(const QKeySequence &keys, const QString &what)
{
    return QStringLiteral("%1: %2").arg(keys.toString(QKeySequence::NativeText), what);
}

QString actionLine(const QAction *action)
{
    QString what = action->text();
    what.remove(QStringLiteral("..."));
    return keyLine(action->shortcut(), what);
}

// Shows the table's own actions in its context menu, and after them the
// window's view of the table, which is no action on its values.
class TableMenuFilter : public QObject
{
public:
    TableMenuFilter(QTableWidget *table, QAction *viewAction)
        : QObject(table), table_(table), viewAction_(viewAction)
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::ContextMenu)
            return QObject::eventFilter(watched, event);
        QMenu menu;
        menu.addActions(table_->actions());
        menu.addSeparator();
        menu.addAction(viewAction_);
        menu.exec(static_cast<QContextMenuEvent *>(event)->globalPos());
        return true;
    }

private:
    QTableWidget *table_;
    QAction *viewAction_;
};

// Runs `run` each time `widget` gets the focus other than by a click.
class KeyboardFocusFilter : public QObject
{
public:
    KeyboardFocusFilter(QWidget *widget, std::function<void()> run)
        : QObject(widget), run_(std::move(run))
    {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::FocusIn &&
            static_cast<QFocusEvent *>(event)->reason() != Qt::MouseFocusReason)
            run_();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> run_;
};

} // namespace

void MainWindow::setUpKeyboard()
{
    // Arrow keys move between cells; Tab moves on to the next control.
    ui->tableWidget->setTabKeyNavigation(false);
    ui->logTableWidget->setTabKeyNavigation(false);
    QWidget *const order[] = {ui->tableWidget,     ui->logTableWidget, ui->serialPortComboBox,
                              ui->pingButton,      ui->queryButton,    ui->updateButton,
                              ui->uploadCertButton};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    // Function keys: the cells' editor and the table take every letter,
    // and Ctrl with a letter edits text there.
    addButtonShortcut(ui->pingButton, "actionPing", Qt::Key_F5,
                      tr("Ask the device for a sign of life"));
    addButtonShortcut(ui->queryButton, "actionQuery", Qt::Key_F6,
                      tr("Read the device's configuration into the table"));
    addButtonShortcut(ui->updateButton, "actionUpdate", Qt::Key_F7,
                      tr("Write the table to the device"));
    addButtonShortcut(ui->uploadCertButton, "actionUploadCertificate", Qt::Key_F8,
                      tr("Send a certificate file to the device"));

    const QStringList tableKeys{keyLine(Qt::Key_F2, tr("edit the value (or type)")),
                                actionLine(openProfileAction), actionLine(saveProfileAction)};
    cellDelegate =
        new ConfigCellDelegate(tableKeys, tr("Not sent to the device yet"), ui->tableWidget);
    ui->tableWidget->setItemDelegate(cellDelegate);
    const QAction *copy = ui->logTableWidget->findChild<QAction *>(QStringLiteral("actionCopyLog"));
    ui->logTableWidget->setToolTip(
        QStringList{actionLine(copy), actionLine(saveLogAction)}.join(QLatin1Char('\n')));
    setUpPasswordMask();
    setUpKeyboardHelp();
}

// A key of the window for `button`, named in the button's tooltip.
void MainWindow::addButtonShortcut(QPushButton *button, const char *name, const QKeySequence &keys,
                                   const QString &what)
{
    auto *action = new QAction(button->text(), this);
    action->setObjectName(QLatin1String(name));
    action->setShortcut(keys);
    addAction(action);
    connect(action, &QAction::triggered, this, [this, button] { pressButton(button); });
    button->setToolTip(
        QStringLiteral("%1 (%2)").arg(what, keys.toString(QKeySequence::NativeText)));
}

// What a click does. A value still being edited is taken first, as a click
// takes it by moving the focus, so that it is judged before Update looks at
// it: a wrong one turns Update off and nothing is sent, a mended one turns it
// on. The focus stays in the table, where the technician goes on.
void MainWindow::pressButton(QPushButton *button)
{
    takeValueBeingEdited();
    button->click();
}

// Closes the table's editor, if open, so that its text becomes the cell's
// value and is judged.
void MainWindow::takeValueBeingEdited()
{
    QWidget *focus = QApplication::focusWidget();
    if (focus && ui->tableWidget->viewport()->isAncestorOf(focus))
        ui->tableWidget->setFocus(Qt::ShortcutFocusReason);
}

void MainWindow::setUpPasswordMask()
{
    auto *show = new QAction(tr("Show Passwords"), this);
    show->setObjectName(QStringLiteral("actionShowPasswords"));
    show->setCheckable(true);
    connect(show, &QAction::toggled, this, [this](bool shown) {
        cellDelegate->setMasked(!shown);
        ui->tableWidget->viewport()->update();
    });
    // The mouse opens the menu on the cells, the keyboard on the table.
    auto *menu = new TableMenuFilter(ui->tableWidget, show);
    ui->tableWidget->installEventFilter(menu);
    ui->tableWidget->viewport()->installEventFilter(menu);
}

// What the mouse shows by hovering, the keyboard gets too: a row's diagnosis
// as the focus reaches it, and any cell's tooltip again on Shift+F1; the
// context menus on Shift+F10; and a frame around the log while it has the
// focus, whose own focus mark is on an entry scrolled out of view.
void MainWindow::setUpKeyboardHelp()
{
    QTableWidget *table = ui->tableWidget;
    // Once the focus has settled: a tooltip hides as focus events pass.
    const auto helpSoon = [this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (ui->tableWidget->hasFocus())
                    showCellHelp(false);
            },
            Qt::QueuedConnection);
    };
    new KeyboardFocusFilter(table, helpSoon);
    connect(table, &QTableWidget::currentCellChanged, this, [this, helpSoon] {
        if (ui->tableWidget->hasFocus() && QApplication::mouseButtons() == Qt::NoButton)
            helpSoon();
    });
    auto *help = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F1), table);
    help->setContext(Qt::WidgetWithChildrenShortcut);
    connect(help, &QShortcut::activated, this, [this] { showCellHelp(true); });
    auto *menu = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), this);
    connect(menu, &QShortcut::activated, this, &MainWindow::openContextMenuByKey);

    auto *frame = new QFocusFrame(ui->centralwidget);
    QTableWidget *log = ui->logTableWidget;
    connect(qApp, &QApplication::focusChanged, frame, [frame, log](QWidget *, QWidget *now) {
        frame->setWidget(now == log ? log : nullptr);
    });
}

// Shows the current cell's tooltip at the cell; only for a row with a
// diagnosis unless `evenWithoutDiagnosis`.
void MainWindow::showCellHelp(bool evenWithoutDiagnosis)
{
    QTableWidget *table = ui->tableWidget;
    const QModelIndex index = table->currentIndex();
    if (!index.isValid() || (!evenWithoutDiagnosis && info(index.row()).isEmpty()))
        return;
    const QPoint at = table->visualRect(index).center();
    QToolTip::showText(table->viewport()->mapToGlobal(at), cellDelegate->toolTip(index),
                       table->viewport());
}

// The context menu of whatever has the focus, as the Menu key opens it: at
// the current cell or entry, or amid the widget when that is out of view.
void MainWindow::openContextMenuByKey()
{
    QWidget *target = QApplication::focusWidget();
    if (!target || !isAncestorOf(target))
        return;
    QPoint at = target->inputMethodQuery(Qt::ImCursorRectangle).toRect().center();
    if (!target->rect().contains(at))
        at = target->rect().center();
    QContextMenuEvent menu(QContextMenuEvent::Keyboard, at, target->mapToGlobal(at));
    QCoreApplication::sendEvent(target, &menu);
}
