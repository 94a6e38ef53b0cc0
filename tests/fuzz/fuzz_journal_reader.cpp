// libFuzzer target for the journal reader that a resumed station relies on:
// any bytes (a crash's torn line, a foreign file, garbage) are read without
// a throw, what is kept stays bounded, and a whole line written after them,
// as the journal's writer would, is always counted as the pass it records.
#include "station/journal.h"

#include <QBuffer>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

JournalHistory read(const QByteArray &bytes, const QSet<QString> &keys)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    JournalHistory history;
    QString problem;
    if (!readJournal(buffer, QStringLiteral("units.csv.journal"), keys, history, problem))
        fail("a journal in memory could not be read");
    int kept = 0;
    for (auto it = history.passedKeys.constBegin(); it != history.passedKeys.constEnd(); ++it) {
        if (!keys.contains(it.key()) || it.value() <= 0)
            fail("a pass was kept for a row that is not asked for");
        kept += it.value();
    }
    if (kept > history.passedLines || history.strangers.size() > 10 || history.warnings.size() > 11)
        fail("more was kept than the journal holds, or than is ever named");
    return history;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    UnitJob job;
    job.row = 3;
    job.unit = QStringLiteral("B-0043");
    job.rowKey = QString(64, QLatin1Char('a'));
    const QSet<QString> keys{job.rowKey};
    const JournalHistory before = read(bytes, keys);

    UnitResult passed;
    passed.fixture = QStringLiteral("/dev/ttyUSB0");
    const QByteArray next = bytes + (before.endsTorn ? "\n" : "") + journalLine(job, passed, false);
    const JournalHistory after = read(next, keys);
    if (after.passedKeys.value(job.rowKey) != before.passedKeys.value(job.rowKey) + 1 ||
        after.passedLines != before.passedLines + 1 || after.endsTorn)
        fail("a whole line after what was there is not counted as its pass");
    return 0;
}
