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
// file and the row, if it cannot be read, is not valid CSV or UTF-8, names a
// column that is neither a profile key, "certificate" nor "unit", names one
// twice, has a row whose field count differs from the header's, or has no
// data rows.
bool readManifest(const QString &path, QVector<ManifestRow> &rows, QString &problem);

// Joins every row with the profile's values and reads its certificate (the
// row's own, else `defaultCertificate`), one job for each row, keyed by its
// number. Every bad row's first problem goes to `problems` as
// "row N: <row label>: <diagnosis>"; false if there was any.
bool planJobs(const QVector<ManifestRow> &rows, const ValueChanges &profile,
              const QString &defaultCertificate, QVector<UnitJob> &jobs, QStringList &problems);

#endif // STATION_MANIFEST_H
