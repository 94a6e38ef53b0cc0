#include "device/certificate_file.h"
#include "protocol/device_message.h"

#include <QFile>

CertificateRead readCertificateFile(const QString &path, QByteArray &certificate, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return CertificateRead::CannotOpen;
    }
    certificate.resize(CERT_DATA_MAX + 1);
    qint64 count = 0;
    while (count < certificate.size()) {
        const qint64 got = file.read(certificate.data() + count, certificate.size() - count);
        if (got < 0) {
            error = file.errorString();
            return CertificateRead::CannotRead;
        }
        if (got == 0)
            break; // the end of the file
        count += got;
    }
    certificate.resize(int(count));
    return count > CERT_DATA_MAX ? CertificateRead::TooLarge : CertificateRead::Read;
}
