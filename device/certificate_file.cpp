#include "device/certificate_file.h"
#include "base/bounded_read.h"
#include "protocol/device_message.h"

#include <QFile>

namespace {

CertificateRead readOpenCertificate(QFile &file, QByteArray &certificate, QString &error)
{
    if (!readUpTo(file, CERT_DATA_MAX, certificate)) {
        error = file.errorString();
        return CertificateRead::CannotRead;
    }
    return certificate.size() > CERT_DATA_MAX ? CertificateRead::TooLarge : CertificateRead::Read;
}

} // namespace

CertificateRead readCertificateFile(const QString &path, QByteArray &certificate, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return CertificateRead::CannotOpen;
    }
    return readOpenCertificate(file, certificate, error);
}

CertificateRead readRegularCertificateFile(const QString &path, QByteArray &certificate,
                                           QString &error)
{
    QFile file;
    switch (openRegularFile(file, path, error)) {
    case RegularOpen::Opened: return readOpenCertificate(file, certificate, error);
    case RegularOpen::NotRegular: error = QStringLiteral("not a regular file"); break;
    case RegularOpen::Failed: break;
    }
    return CertificateRead::CannotOpen;
}

QString certificateProblem(const QString &path, QByteArray &certificate)
{
    QString error;
    switch (readCertificateFile(path, certificate, error)) {
    case CertificateRead::Read: break;
    case CertificateRead::CannotOpen:
    case CertificateRead::CannotRead: return QStringLiteral("cannot read: %1").arg(error);
    case CertificateRead::TooLarge:
        return QStringLiteral("larger than %1 bytes").arg(CERT_DATA_MAX);
    }
    return certificate.isEmpty() ? QStringLiteral("empty") : QString();
}
