// Rows for the line's tests: row N's unit is U-N, its host name unit-N.
#ifndef TESTS_LINE_ROWS_NAMED_H
#define TESTS_LINE_ROWS_NAMED_H

#include "line/line_batch.h"

inline QVector<LineRow> rowsNamed(int count)
{
    QVector<LineRow> rows;
    for (int i = 1; i <= count; ++i)
        rows.append({i,
                     QStringLiteral("U-%1").arg(i),
                     {{"hostname", QStringLiteral("unit-%1").arg(i)}},
                     {},
                     {}});
    return rows;
}

#endif // TESTS_LINE_ROWS_NAMED_H
