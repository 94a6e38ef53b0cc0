// The technician's files: a profile opened into the table or saved from it,
// and the log saved for the support desk. Reached through window actions
// with shortcuts, the context menus of the table and the log, and by
// dropping a profile on the window; nothing here talks to the device.
#include "app/mainwindow.h"
#include "config/config_values.h"
#include "config/field_rules.h"
#include "config/profile.h"
#include "protocol/config_fields.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QClipboard>
#include <QDateTime>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMimeData>
#include <QSaveFile>
#include <QTableWidgetItem>

#include <algorithm>
#include <exception>
#include <utility>

namespace {

const char kProfileFilter[] = "Profiles (*.json);;All files (*)";
const char kLogFilter[] = "Text files (*.txt *.log);;All files (*)";

// The one local .json file that a drag carries, or an empty path.
QString droppedProfile(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1)
        return QString();
    const QString path = mime->urls().constFirst().toLocalFile();
    return path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive) ? path : QString();
}

// Opens a profile dropped on the window. An event filter rather than drag
// and drop handlers of the window itself, which would add to its virtual
// operations.
class ProfileDropFilter : public QObject
{
public:
    ProfileDropFilter(QObject *parent, std::function<void(const QString &)> open)
        : QObject(parent), open_(std::move(open))
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
            return QObject::eventFilter(watched, event);
        auto *drop = static_cast<QDropEvent *>(event);
        const QString path = droppedProfile(drop->mimeData());
        if (path.isEmpty())
            return false;
        drop->acceptProposedAction();
        if (type == QEvent::Drop)
            open_(path);
        return true;
    }

private:
    std::function<void(const QString &)> open_;
};

QString isoTime(qint64 msSinceEpoch)
{
    return isoTimeWithOffset(QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::LocalTime));
}

// Replaces the file whole or not at all. Created for its owner only: a
// profile holds the passwords, and a log's Config Query dumps hold them too.
bool writeWhole(const QString &path, const QByteArray &bytes, QString &problem)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) &&
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
        file.write(bytes) == bytes.size() && file.commit())
        return true;
    problem = file.errorString();
    return false;
}

// The file actions run straight from the event loop, where an exception
// would end the program and take the technician's table and log with it.
// The work that may throw (reading, parsing, building the bytes) is done
// before anything on screen changes, so a fault becomes the action's
// refusal and leaves the window as it was.
template <typename Work> bool refusingOnException(Work work, QString &reason)
{
    try {
        return work(reason);
    } catch (const std::exception &error) {
        reason = QString::fromLocal8Bit(error.what());
        return false;
    }
}

} // namespace

void MainWindow::setUpFileActions()
{
    openProfileAction = addWindowAction("actionOpenProfile", tr("Open Profile..."),
                                        QKeySequence(tr("Ctrl+O")), &MainWindow::openProfile);
    saveProfileAction = addWindowAction("actionSaveProfile", tr("Save Profile..."),
                                        QKeySequence(tr("Ctrl+S")), &MainWindow::saveProfile);
    saveLogAction = addWindowAction("actionSaveLog", tr("Save Log..."), QKeySequence(tr("Ctrl+L")),
                                    &MainWindow::saveLog);
    // Until the log has its first entry there is nothing to save.
    saveLogAction->setEnabled(false);
    setUpContextMenus();
    setAcceptDrops(true);
    installEventFilter(
        new ProfileDropFilter(this, [this](const QString &path) { openProfileFile(path); }));
    fileNameAsker = [this](const QString &title, const QString &filter, bool forSaving) {
        return forSaving ? QFileDialog::getSaveFileName(this, title, QString(), filter)
                         : QFileDialog::getOpenFileName(this, title, QString(), filter);
    };
}

// An action of the window itself, so that its shortcut works wherever the
// focus is; connected by pointer, since it is no slot.
QAction *MainWindow::addWindowAction(const char *name, const QString &text,
                                     const QKeySequence &shortcut, void (MainWindow::*run)())
{
    auto *action = new QAction(text, this);
    action->setObjectName(QLatin1String(name));
    action->setShortcut(shortcut);
    addAction(action);
    connect(action, &QAction::triggered, this, run);
    return action;
}

void MainWindow::setUpContextMenus()
{
    ui->tableWidget->setContextMenuPolicy(Qt::ActionsContextMenu);
    ui->tableWidget->addActions({openProfileAction, saveProfileAction});

    auto *copy = new QAction(tr("Copy"), ui->logTableWidget);
    copy->setObjectName(QStringLiteral("actionCopyLog"));
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(copy, &QAction::triggered, this, &MainWindow::copyLogSelection);
    ui->logTableWidget->setContextMenuPolicy(Qt::ActionsContextMenu);
    ui->logTableWidget->addActions({copy, saveLogAction});
}

void MainWindow::openProfile()
{
    const QString path =
        fileNameAsker(tr("Open Profile"), QString::fromLatin1(kProfileFilter), false);
    if (!path.isEmpty())
        openProfileFile(path);
}

// Each value goes into its row's Values cell, where the ordinary validation
// judges it as if it were typed. Nothing is sent.
void MainWindow::openProfileFile(const QString &path)
{
    ValueChanges changes;
    QString reason;
    // Before a port is chosen the log gets its column here.
    ensureLogColumn();
    const auto read = [&](QString &why) { return readProfileFile(path, changes, why); };
    if (!refusingOnException(read, reason)) {
        appendLog(QStringLiteral("Cannot open profile %0: %1").arg(path, reason));
        return;
    }
    for (auto it = changes.constBegin(); it != changes.constEnd(); ++it) {
        const int row = rowIndexByName.value(QLatin1String(kConfigFields[it.key()].rowName));
        if (QTableWidgetItem *item = ui->tableWidget->item(row, 0))
            item->setText(it.value());
    }
    appendLog(QStringLiteral("Profile %0: %1 values set.").arg(path).arg(changes.size()));
}

void MainWindow::saveProfile()
{
    const QString problem = profileProblem();
    if (!problem.isEmpty()) {
        ensureLogColumn();
        appendLog(QStringLiteral("Cannot save profile: %0").arg(problem));
        return;
    }
    const QString path =
        fileNameAsker(tr("Save Profile"), QString::fromLatin1(kProfileFilter), true);
    if (path.isEmpty())
        return;
    QString reason;
    ensureLogColumn();
    // As the device would hold the values after an Update (a port that is no
    // number as 0): the file is what kestroctl read prints for that device.
    const auto write = [&](QString &why) {
        return writeWhole(path, valuesJson(asRecorded(tableValues()), false), why);
    };
    if (refusingOnException(write, reason))
        appendLog(QStringLiteral("Profile saved to %0.").arg(path));
    else
        appendLog(QStringLiteral("Cannot save profile to %0: %1").arg(path, reason));
}

// The first row that kestroctl would refuse, as "<row name>: <diagnosis>":
// every rule applies, also to rows not edited yet, and every text must fit
// the record, so that a saved profile can always be written to a device.
QString MainWindow::profileProblem() const
{
    const QStringList problems = valueProblems(tableValues());
    return problems.isEmpty() ? QString() : problems.constFirst();
}

void MainWindow::saveLog()
{
    const QString path = fileNameAsker(tr("Save Log"), QString::fromLatin1(kLogFilter), true);
    if (path.isEmpty())
        return;
    const int entries = ui->logTableWidget->rowCount();
    QString reason;
    const auto write = [&](QString &why) { return writeWhole(path, logFileText(), why); };
    if (refusingOnException(write, reason))
        appendLog(QStringLiteral("Log saved to %0 (%1 entries).").arg(path).arg(entries));
    else
        appendLog(QStringLiteral("Cannot save log to %0: %1").arg(path, reason));
}

// Every entry in order, each on its own line after the time it was added.
QByteArray MainWindow::logFileText() const
{
    QString text;
    const QTableWidget *log = ui->logTableWidget;
    for (int row = 0; row < log->rowCount(); ++row) {
        const QTableWidgetItem *entry = log->item(row, 0);
        if (!entry)
            continue;
        text += isoTime(entry->data(kLogTimeRole).toLongLong()) + QLatin1Char(' ') +
                plainLineEnds(entry->text()) + QLatin1Char('\n');
    }
    return text.toUtf8();
}

void MainWindow::copyLogSelection()
{
    QList<QTableWidgetItem *> selected = ui->logTableWidget->selectedItems();
    if (selected.isEmpty())
        return;
    std::sort(
        selected.begin(), selected.end(),
        [](const QTableWidgetItem *a, const QTableWidgetItem *b) { return a->row() < b->row(); });
    QStringList texts;
    for (const QTableWidgetItem *entry : qAsConst(selected))
        texts << plainLineEnds(entry->text());
    QGuiApplication::clipboard()->setText(texts.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}
