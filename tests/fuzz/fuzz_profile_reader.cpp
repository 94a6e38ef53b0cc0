// libFuzzer target for the profile reader that the window and kestroctl
// share: any bytes are refused with a reason or accepted, never thrown at
// the caller, and what is accepted survives being written as a profile and
// read again.
#include "config/profile.h"
#include "protocol/config_fields.h"

#include <QBuffer>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "%s: %s\n", what, qPrintable(detail));
    std::abort();
}

bool read(const QByteArray &bytes, ValueChanges &changes, QString &reason)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return readProfile(buffer, changes, reason);
}

// The values a device would hold after taking the profile; a port that is
// not one (the rules' business, not the reader's) cannot be written back as
// a number, so it is left at its default.
QStringList valuesAfter(const ValueChanges &changes)
{
    QStringList values;
    for (int row = 0; row < ConfigRowCount; ++row)
        values << (row == RowSmtpPort ? QStringLiteral("25") : QString());
    for (auto it = changes.constBegin(); it != changes.constEnd(); ++it) {
        bool port = false;
        it.value().toUShort(&port);
        if (it.key() != RowSmtpPort ||
            (port && QString::number(it.value().toUShort()) == it.value()))
            values[it.key()] = it.value();
    }
    return values;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    ValueChanges changes;
    QString reason;
    if (!read(bytes, changes, reason)) {
        if (reason.isEmpty() || !changes.isEmpty())
            fail("a refusal without a reason, or with values taken", reason);
        return 0;
    }
    const QStringList values = valuesAfter(changes);
    ValueChanges again;
    if (!read(valuesJson(values, false), again, reason))
        fail("a profile written from accepted values is refused", reason);
    for (int row = 0; row < ConfigRowCount; ++row) {
        if (again.value(row) != values.at(row))
            fail("a value changed on its way through a profile", keyOfRow(row));
    }
    return 0;
}
