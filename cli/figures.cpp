#include "cli/figures.h"
#include "cli/console.h"

#include <QStringList>

#include <cmath>

QString percentOf(qint64 part, qint64 whole)
{
    return whole > 0 ? QStringLiteral("%1%").arg(std::lround(100.0 * double(part) / double(whole)))
                     : QStringLiteral("none tried");
}

QString fixtureLine(const FixtureFigures &fixture)
{
    QString line = QStringLiteral("%1: %2 tried, %3 passed, first-pass yield %4")
                       .arg(fixture.fixture)
                       .arg(fixture.tried)
                       .arg(fixture.passed)
                       .arg(percentOf(fixture.passedFirst, fixture.tried));
    if (!fixture.lastFailure.isEmpty())
        line += QStringLiteral("; last failure: ") + fixture.lastFailure;
    if (fixture.flagged)
        line += QStringLiteral("; FLAGGED: its last 3 units failed alike while other fixtures "
                               "passed: check it");
    return printable(line);
}

QString causesLine(const QVector<CauseFigures> &causes)
{
    QStringList shown;
    for (const CauseFigures &cause : causes)
        shown << QStringLiteral("%1: %2 (%3 %4)")
                     .arg(cause.step, cause.message)
                     .arg(cause.units)
                     .arg(QLatin1String(cause.units == 1 ? "unit" : "units"));
    return shown.isEmpty() ? QString()
                           : printable(QStringLiteral("commonest failures: ") +
                                       shown.join(QStringLiteral("; ")));
}
