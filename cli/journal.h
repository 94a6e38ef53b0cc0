// A station's journal: one JSON line for every unit tried, written whole and
// flushed to disk before its port takes another unit, so that a crash or a
// power cut loses at most the line being written, and a station started
// again knows which rows are done.
#ifndef CLI_JOURNAL_H
#define CLI_JOURNAL_H

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include <mutex>

// The steps at which a unit can fail, as the journal names them.
inline constexpr char kStepPing[] = "ping";
inline constexpr char kStepWrite[] = "write";
inline constexpr char kStepVerify[] = "verify";
inline constexpr char kStepCertificate[] = "certificate";
inline constexpr char kStepPort[] = "port";

struct JournalEntry {
    int row = 0; // 0: the unit failed before it took a row
    QString unit;
    QString port;
    QString failedStep; // empty: the unit passed
    QString message;
    QStringList values; // as read back after the write; empty: nothing was read back
    QString certificateSha256;
    double seconds = 0;
};

// The entry as one line of JSON, newline included, stamped with the local
// time; the passwords left out unless `withSecrets`.
QByteArray journalLine(const JournalEntry &entry, bool withSecrets);

// What a journal from an earlier run says.
struct JournalHistory {
    QSet<int> passedRows;
    bool endsTorn = false; // the last line has no end: the next one must start afresh
};

// Reads the journal, if there is one. Lines that are not entries (a torn last
// line) are ignored with a warning. False, with the reason, if the file is
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

#endif // CLI_JOURNAL_H
