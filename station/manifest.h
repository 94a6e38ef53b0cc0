// A station's manifest: a CSV file whose first row names the columns and
// whose every later row is one unit. Read whole and checked before any port
// is opened, so that a bad row costs no unit.
#ifndef STATION_MANIFEST_H
#define STATION_MANIFEST_H

#include "config/profile.h"
#include "station/unit_queue.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// One data row as the file gives it.
struct ManifestRow {
    int number = 0;          // data rows counted from 1, the header not counted
    QString unit;            // the label for the journal; may be empty
    ValueChanges changes;    // the row's non-empty value cells
    QString certificatePath; // resolved against the manifest's folder; empty: none given
    // The row's content: the SHA-256 (lowercase hex) of its non-empty cells
    // as one JSON object, column name to cell as written, keys sorted, no
    // spaces. Empty cells do not count, so a column added empty changes no row.
    QString key;
};

// Reads the manifest (RFC 4180, UTF-8). False, with a reason that names the
// file and the row, if it is not a regular file (a FIFO is never waited on),
// cannot be read, is not valid CSV or UTF-8, names a column that is neither a
// profile key, "certificate" nor "unit", names one twice, has a row whose
// field count differs from the header's, or has no data rows. Blank rows
// (every cell empty) are skipped and counted in `blankRows`; the others keep
// their numbers.
bool readManifest(const QString &path, QVector<ManifestRow> &rows, QString &problem,
                  int *blankRows = nullptr);
// The same for the file's bytes; certificates are named relative to `folder`.
bool parseManifest(const QByteArray &bytes, const QString &folder, QVector<ManifestRow> &rows,
                   QString &problem, int *blankRows = nullptr);

// Told how many rows of how many have been planned, every so often.
using PlanProgress = std::function<void(int planned, int rows)>;

// Joins every row with the profile's values and reads its certificate (the
// row's own, else `defaultCertificate`; a file that is not a regular one is
// refused unread), one job for each row, keyed by its number. Rows whose
// certificates hold the same bytes share them. Every bad row's first problem
// goes to `problems` as "row N: <row label>: <diagnosis>": a value no device
// could make valid, or a unit label or host name that an earlier row has
// too. False if there was any.
bool planJobs(const QVector<ManifestRow> &rows, const ValueChanges &profile,
              const QString &defaultCertificate, QVector<UnitJob> &jobs, QStringList &problems,
              const PlanProgress &progress = PlanProgress());

#endif // STATION_MANIFEST_H
