// A fixture's figures and the commonest causes of failure as one line each,
// the same in line status and in a station's summary.
#ifndef CLI_FIGURES_H
#define CLI_FIGURES_H

#include "station/unit_queue.h"

#include <QString>
#include <QVector>

// "12 of 16 units" as a share: "75%"; "none tried" for none.
QString percentOf(qint64 part, qint64 whole);

// "/dev/ttyUSB1: 3 tried, 0 passed, first-pass yield 0%; last failure:
// verify: hostname differs", with the flag when it is raised; escaped.
QString fixtureLine(const FixtureFigures &fixture);

// "commonest failures: verify: hostname differs (3 units); ..."; escaped;
// empty for none.
QString causesLine(const QVector<CauseFigures> &causes);

#endif // CLI_FIGURES_H
