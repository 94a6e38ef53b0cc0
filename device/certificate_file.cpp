#include "device/certificate_file.h"
#include "device/bounded_read.h"
#include "protocol/device_message.h"

#include <QFile>

CertificateRead readCertificateFile(const QString &path, QByteArray &certificate, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return CertificateRead::CannotOpen;
    }
    if (!readUpTo(file, CERT_DATA_MAX, certificate)) {
        error = file.errorString();
        return CertificateRead::CannotRead;
    }
    return certificate.size() > CERT_DATA_MAX ? CertificateRead::TooLarge : CertificateRead::Read;
}
