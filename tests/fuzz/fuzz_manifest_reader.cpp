// libFuzzer target for a station's manifest reader and planner: any bytes
// are refused with a reason or read into rows, never thrown at the caller;
// rows read keep increasing numbers within the file, and each becomes one
// job, or a problem that names it.
#include "station/manifest.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "%s: %s\n", what, qPrintable(detail));
    std::abort();
}

void checkRows(const QVector<ManifestRow> &rows, int blankRows, int lines)
{
    int last = 0;
    for (const ManifestRow &row : rows) {
        if (row.number <= last || row.number > lines)
            fail("a row number out of order or beyond the file", QString::number(row.number));
        last = row.number;
    }
    if (blankRows < 0 || rows.size() + blankRows > lines)
        fail("more rows than the file has lines", QString::number(blankRows));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    QVector<ManifestRow> rows;
    QString problem;
    int blankRows = -1;
    // A folder that is not there: certificates are named, never read.
    if (!parseManifest(bytes, QStringLiteral("/nonexistent/manifest"), rows, problem, &blankRows)) {
        if (problem.isEmpty())
            fail("a refusal without a reason", QString());
        return 0;
    }
    // Each record ends a line at most, and a quoted cell may span several.
    checkRows(rows, blankRows, int(bytes.count('\n') + bytes.count('\r') + 1));
    QVector<UnitJob> jobs;
    QStringList problems;
    const bool planned = planJobs(rows, ValueChanges(), QString(), jobs, problems);
    if (jobs.size() != rows.size() || planned != problems.isEmpty())
        fail("a plan that lost a row or hid a problem", problems.join('\n'));
    return 0;
}
