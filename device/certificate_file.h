// Reading a certificate file for an upload. The window and kestroctl read it
// the same way and word what went wrong each in their own voice.
#ifndef DEVICE_CERTIFICATE_FILE_H
#define DEVICE_CERTIFICATE_FILE_H

#include <QByteArray>
#include <QString>

enum class CertificateRead {
    Read,       // `certificate` holds the whole file, at most one upload's bytes
    CannotOpen, // `error` says why
    CannotRead, // `error` says why
    TooLarge,   // the file holds more than one upload carries
};

// Reads the whole file, or one byte more than an upload carries, so that a
// file which would be cut is told from one that fits exactly.
CertificateRead readCertificateFile(const QString &path, QByteArray &certificate, QString &error);
// The same for a regular file only: anything else (a FIFO that would keep
// the reader waiting, a device) cannot be opened, and `error` says so.
CertificateRead readRegularCertificateFile(const QString &path, QByteArray &certificate,
                                           QString &error);

// Reads the certificate a unit is to get; answers why it cannot be one
// ("cannot read: ...", "larger than 8192 bytes", "empty"), or an empty string.
QString certificateProblem(const QString &path, QByteArray &certificate);

#endif // DEVICE_CERTIFICATE_FILE_H
