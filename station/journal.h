// A station's journal: one JSON line for every unit tried, written whole and
// flushed to disk before its port takes another unit, so that a crash or a
// power cut loses at most the line being written, and a station started
// again knows which rows are done.
#ifndef STATION_JOURNAL_H
#define STATION_JOURNAL_H

#include "station/unit_queue.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include <mutex>

// The unit's result as one line of JSON, newline included, stamped with the
// local time; the passwords left out unless `withSecrets`. A unit that
// failed before it took a job has a job with row 0.
QByteArray journalLine(const UnitJob &job, const UnitResult &result, bool withSecrets);

// What a journal from an earlier run says.
struct JournalHistory {
    QSet<int> passedRows;
    bool endsTorn = false; // the last line has no end: the next one must start afresh
    QStringList warnings;  // lines that are not entries (a torn last line), each named
};

// Reads the journal, if there is one. Lines that are not entries (a torn last
// line) are ignored, each with a warning. False, with the reason, if the file is
// there but cannot be read.
bool readJournal(const QString &path, JournalHistory &history, QString &problem);

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
    // Appends the line with one write and waits until it is on the disk.
    bool append(const QByteArray &line, QString &problem);

private:
    bool writeWhole(const QByteArray &bytes, QString &problem);

    std::mutex mutex_;
    QString path_;
    int fd_ = -1;
};

#endif // STATION_JOURNAL_H
