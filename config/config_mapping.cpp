// Conversions between the configuration table and the DeviceConfig record.
#include "app/mainwindow.h"
#include "config/config_fields.h"
#include "ui_mainwindow.h"

#include <QByteArray>
#include <QTableWidgetItem>

#include <cstddef>
#include <cstring>

namespace {

// Number of leading bytes of the UTF-8 text that fit in maxBytes without
// splitting a character: a cut never lands in front of a continuation byte.
int fittingUtf8Length(const QByteArray &utf8, int maxBytes)
{
    if (utf8.size() <= maxBytes)
        return utf8.size();
    int length = maxBytes;
    while (length > 0 && (static_cast<unsigned char>(utf8.at(length)) & 0xC0) == 0x80)
        --length;
    return length;
}

// Stores text as byte count, bytes and NUL; the array must already be zero.
// Text the array cannot hold is cut at the last whole character that fits.
void storeText(unsigned char *record, const ConfigField &field, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    const int length = fittingUtf8Length(utf8, field.maxTextBytes());
    std::memcpy(record + field.arrayOffset, utf8.constData(), std::size_t(length));
    record[field.lengthOffset] = static_cast<unsigned char>(length);
}

// The text runs to the first NUL, or to the array's end if there is none; the
// length byte is not trusted. Invalid UTF-8 shows as replacement characters.
QString loadText(const unsigned char *record, const ConfigField &field)
{
    const char *array = reinterpret_cast<const char *>(record + field.arrayOffset);
    const void *nul = std::memchr(array, 0, field.arraySize);
    const std::size_t length =
        nul ? std::size_t(static_cast<const char *>(nul) - array) : field.arraySize;
    return QString::fromUtf8(array, int(length));
}

} // namespace

void MainWindow::buildConfig(DeviceMessage &message)
{
    DeviceConfig &config = message.payload.config;
    std::memset(&config, 0, sizeof config);
    message.msgId = MSG_CONFIG_UPDATE_REQUEST;

    auto *record = reinterpret_cast<unsigned char *>(&config);
    for (const ConfigField &field : kConfigFields) {
        const QTableWidgetItem *item =
            ui->tableWidget->item(rowIndexByName.value(QLatin1String(field.rowName)), 0);
        const QString text = item ? item->text() : QString();
        if (!field.isText()) {
            bool ok = false;
            const ushort port = text.toUShort(&ok, 10);
            config.smtpPort = ok ? port : 0;
        } else {
            storeText(record, field, text);
        }
    }
}

void MainWindow::showConfig(const DeviceMessage &message)
{
    const DeviceConfig &config = message.payload.configQueryResponse.config;
    const auto *record = reinterpret_cast<const unsigned char *>(&config);
    for (const ConfigField &field : kConfigFields) {
        const QString text =
            field.isText() ? loadText(record, field) : QString::number(config.smtpPort);
        // Each row whose text changes is validated as it is set.
        QTableWidgetItem *item =
            ui->tableWidget->item(rowIndexByName.value(QLatin1String(field.rowName)), 0);
        if (item)
            item->setText(text);
    }
}
