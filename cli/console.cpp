#include "cli/console.h"

#include <QByteArray>

#include <cstdio>

namespace {

bool resultsLost = false;

bool writeTo(std::FILE *stream, const QByteArray &bytes)
{
    const size_t written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    return std::fflush(stream) == 0 && written == size_t(bytes.size());
}

} // namespace

void printResult(const QString &line)
{
    printResultText((line + QLatin1Char('\n')).toUtf8());
}

void printResultText(const QByteArray &utf8)
{
    if (!writeTo(stdout, utf8))
        resultsLost = true;
}

bool resultsDelivered()
{
    return !resultsLost;
}

void printProblem(const QString &line)
{
    writeTo(stderr, (QStringLiteral("kestroctl: ") + line + QLatin1Char('\n')).toUtf8());
}

void printRaw(const QString &line)
{
    writeTo(stderr, (line + QLatin1Char('\n')).toUtf8());
}
