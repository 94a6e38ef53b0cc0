// A station's journal: one JSON line for every unit tried, written whole and
// flushed to disk before its port takes another unit, so that a crash or a
// power cut loses at most the line being written, and a station started
// again knows which rows are done.
#ifndef STATION_JOURNAL_H
#define STATION_JOURNAL_H

#include "station/unit_queue.h"

#include <QByteArray>
#include <QHash>
#include <QIODevice>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <mutex>

#include <sys/types.h>

// The unit's result as one line of JSON, newline included, stamped with the
// local time; the passwords left out unless `withSecrets`. A unit that
// failed before it took a job has a job with row 0.
QByteArray journalLine(const UnitJob &job, const UnitResult &result, bool withSecrets);

// What a journal from an earlier run says of the rows a station has now. A
// row is known by its content (`row_key`), never by its place: a row that
// moved is still done, a row whose cells changed is not.
struct JournalHistory {
    QHash<QString, int> passedKeys; // passed lines for each of the rows' keys
    // The rows kept for their units at the journal's end (a unit failed and
    // may hold their values): each row's key, with the port its unit was on.
    QHash<QString, QString> keptKeys;
    int passedLines = 0; // every passed line, of these rows or not
    // The first passed lines of rows that are not there any more
    // ("journal line 7: B-0003"), and how many more there are.
    QStringList strangers;
    int moreStrangers = 0;
    bool endsTorn = false; // the last line has no end: the next one must start afresh
    QStringList warnings;  // lines that are not entries (a torn line): the first ten named

    // Passed lines, but none of these rows': a journal of another manifest.
    bool belongsElsewhere() const;
};

// Reads the journal line by line, if there is one, keeping only what
// concerns the rows whose keys are `rowKeys`: a journal of any length costs
// no more memory than its rows. Lines that are not entries are ignored, each
// with a warning. False, with the reason, if the file is there but is not a
// regular file or cannot be read.
bool readJournal(const QString &path, const QSet<QString> &rowKeys, JournalHistory &history,
                 QString &problem);
// The same from an open device, which names the journal as `name`.
bool readJournal(QIODevice &device, const QString &name, const QSet<QString> &rowKeys,
                 JournalHistory &history, QString &problem);

// The numbers of the jobs whose row has passed: each passed line stands for
// one row with its key, in manifest order, so that two rows alike need two.
QSet<int> passedRows(const QVector<UnitJob> &jobs, const JournalHistory &history);

// The numbers of the jobs whose row is kept for its unit, with the port
// that unit was on.
QHash<int, QString> keptRows(const QVector<UnitJob> &jobs, const JournalHistory &history);

// The line that releases a kept row for any unit: the reason, and who
// released it.
QByteArray releaseLine(const UnitJob &job, const QString &reason, const QString &releasedBy);

// The one writer of a journal, shared by the station's ports.
class JournalWriter
{
public:
    JournalWriter() = default;
    ~JournalWriter();
    JournalWriter(const JournalWriter &) = delete;
    JournalWriter &operator=(const JournalWriter &) = delete;

    // Opens the journal for appending; after a torn line, ends it first, so
    // that no entry is ever joined to it.
    bool open(const QString &path, const JournalHistory &history, bool withSecrets,
              QString &problem);
    // Appends the line with one write and waits until it is on the disk. If
    // it cannot, the journal is cut back to its last whole line.
    bool append(const QByteArray &line, QString &problem);

private:
    bool writeWhole(const QByteArray &bytes, QString &problem);
    void cutBack(off_t size, QString &problem);

    std::mutex mutex_;
    QString path_;
    int fd_ = -1;
};

#endif // STATION_JOURNAL_H
