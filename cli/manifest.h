// A station's manifest: a CSV file whose first row names the columns and
// whose every later row is one unit. Read whole and checked before any port
// is opened, so that a bad row costs no unit.
#ifndef CLI_MANIFEST_H
#define CLI_MANIFEST_H

#include "cli/config_file.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// One data row as the file gives it.
struct ManifestRow {
    int number = 0;          // data rows counted from 1, the header not counted
    QString unit;            // the label for the journal; may be empty
    ValueChanges changes;    // the row's non-empty value cells
    QString certificatePath; // resolved against the manifest's folder; empty: none given
};

// Reads the manifest (RFC 4180, UTF-8). False, with a reason that names the
// file and the row, if it cannot be read, is not valid CSV or UTF-8, names a
// column that is neither a profile key, "certificate" nor "unit", names one
// twice, has a row whose field count differs from the header's, or has no
// data rows.
bool readManifest(const QString &path, QVector<ManifestRow> &rows, QString &problem);

// What a station sends to the unit that takes a row: the profile's values
// with the row's over them, and the certificate.
struct UnitPlan {
    int row = 0;
    QString unit;
    ValueChanges changes;
    QByteArray certificate;    // empty: no upload
    QString certificateSha256; // lowercase hex; empty without a certificate
};

// Joins every row with the profile's values and reads its certificate (the
// row's own, else `defaultCertificate`). Every bad row's first problem is
// printed as "row N: <row label>: <diagnosis>"; false if there was any.
bool planUnits(const QVector<ManifestRow> &rows, const ValueChanges &profile,
               const QString &defaultCertificate, QVector<UnitPlan> &plans);

#endif // CLI_MANIFEST_H
