// The technician's files: a profile opened into the table or saved from it,
// and the log saved for the support desk. Reached through window actions
// with shortcuts, the context menus of the table and the log, and by
// dropping a profile on the window; nothing here talks to the device.
#include "app/mainwindow.h"
#include "base/bounded_read.h"
#include "base/time_stamp.h"
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
#include <QFileInfo>
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

// Opens a profile dropped on the window, and answers any other drop of files
// with a word of what it takes. An event filter rather than drag and drop
// handlers of the window itself, which would add to its virtual operations.
class ProfileDropFilter : public QObject
{
public:
    // `open` gets the path of the one profile dropped, or an empty path for
    // a drop that holds no profile or more than one file.
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
        // Any drop of files is taken, so that a wrong one can be told why.
        if (!drop->mimeData() || !drop->mimeData()->hasUrls())
            return false;
        drop->acceptProposedAction();
        if (type == QEvent::Drop)
            open_(droppedProfile(drop->mimeData()));
        return true;
    }

private:
    std::function<void(const QString &)> open_;
};

// Reads the profile at `path` if it is a regular file; a FIFO would keep the
// window waiting for a writer.
bool readRegularProfile(const QString &path, ValueChanges &changes, QString &reason)
{
    QFile file;
    QString error;
    switch (openRegularFile(file, path, error)) {
    case RegularOpen::Opened: return readProfile(file, changes, reason);
    case RegularOpen::NotRegular: reason = QStringLiteral("not a regular file"); break;
    case RegularOpen::Failed: reason = QStringLiteral("cannot read: %1").arg(error); break;
    }
    return false;
}

// `path`, with `suffix` added when its name has none.
QString withSuffix(const QString &path, const QString &suffix)
{
    const QString name = QFileInfo(path).fileName();
    return name.lastIndexOf(QLatin1Char('.')) > 0 ? path : path + QLatin1Char('.') + suffix;
}

// What a file saved under `filter` is called when the name has no suffix.
QString defaultSuffix(const QString &filter)
{
    return filter == QLatin1String(kLogFilter) ? QStringLiteral("log") : QStringLiteral("json");
}

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
    installEventFilter(new ProfileDropFilter(this, [this](const QString &path) {
        if (!path.isEmpty()) {
            openProfileFile(path);
            return;
        }
        ensureLogColumn();
        appendLog(QStringLiteral("Drop one .json profile to open it"));
    }));
    fileNameAsker = [this](const QString &title, const QString &filter, bool forSaving) {
        if (!forSaving)
            return QFileDialog::getOpenFileName(this, title, QString(), filter);
        // The dialog adds the suffix itself, so that it asks before replacing
        // the file that will really be written.
        QFileDialog dialog(this, title, QString(), filter);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(defaultSuffix(filter));
        return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
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
    const auto read = [&](QString &why) { return readRegularProfile(path, changes, why); };
    if (!refusingOnException(read, reason)) {
        appendLog(QStringLiteral("Cannot open profile %0: %1").arg(path, reason));
        return;
    }
    for (auto it = changes.constBegin(); it != changes.constEnd(); ++it) {
        const int row = rowIndexByName.value(QLatin1String(kConfigFields[it.key()].rowName));
        if (QTableWidgetItem *item = ui->tableWidget->item(row, 0))
            item->setText(it.value());
    }
    appendLog(changes.size() == 1 ? QStringLiteral("Profile %0: 1 value set.").arg(path)
                                  : QStringLiteral("Profile %0: %1 values set.")
                                        .arg(path, QString::number(changes.size())));
}

void MainWindow::saveProfile()
{
    const QString problem = profileProblem();
    if (!problem.isEmpty()) {
        ensureLogColumn();
        appendLog(QStringLiteral("Cannot save profile: %0").arg(problem));
        return;
    }
    const QString asked =
        fileNameAsker(tr("Save Profile"), QString::fromLatin1(kProfileFilter), true);
    if (asked.isEmpty())
        return;
    // Dropped on the window or opened again, it is known by its suffix.
    const QString path = withSuffix(asked, QStringLiteral("json"));
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
    const QString asked = fileNameAsker(tr("Save Log"), QString::fromLatin1(kLogFilter), true);
    if (asked.isEmpty())
        return;
    const QString path = withSuffix(asked, QStringLiteral("log"));
    const int entries = ui->logTableWidget->rowCount();
    QString reason;
    const auto write = [&](QString &why) { return writeWhole(path, logFileText(), why); };
    if (refusingOnException(write, reason))
        appendLog(QStringLiteral("Log saved to %0 (%1 %2).")
                      .arg(path, QString::number(entries),
                           entries == 1 ? QStringLiteral("entry") : QStringLiteral("entries")));
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
