#include "cli/console.h"

#include <QByteArray>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool resultsLost = false;
QString resultsError;

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
    if (resultsLost || writeTo(stdout, utf8))
        return;
    resultsLost = true;
    resultsError = QString::fromLocal8Bit(std::strerror(errno));
}

bool resultsDelivered()
{
    return !resultsLost;
}

QString resultsLostReason()
{
    return resultsError;
}

void printProblem(const QString &line)
{
    writeTo(stderr, (QStringLiteral("kestroctl: ") + line + QLatin1Char('\n')).toUtf8());
}

void printRaw(const QString &line)
{
    writeTo(stderr, (line + QLatin1Char('\n')).toUtf8());
}
