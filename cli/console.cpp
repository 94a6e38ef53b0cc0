#include "cli/console.h"

#include <QByteArray>

#include <cstdio>

namespace {

void writeTo(std::FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void printResult(const QString &line)
{
    writeTo(stdout, (line + QLatin1Char('\n')).toUtf8());
}

void printResultText(const QByteArray &utf8)
{
    writeTo(stdout, utf8);
}

void printProblem(const QString &line)
{
    writeTo(stderr, (QStringLiteral("kestroctl: ") + line + QLatin1Char('\n')).toUtf8());
}

void printRaw(const QString &line)
{
    writeTo(stderr, (line + QLatin1Char('\n')).toUtf8());
}
