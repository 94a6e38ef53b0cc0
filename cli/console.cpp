#include "cli/console.h"

#include <QByteArray>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::atomic<bool> resultsLost{false};
QString resultsError; // set once, by the first writer that fails
std::mutex writing;   // one line at a time, write and flush together

bool writeTo(std::FILE *stream, const QByteArray &bytes)
{
    const std::lock_guard<std::mutex> lock(writing);
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
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    if (!resultsLost.exchange(true))
        resultsError = reason;
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

LinkReporter consoleReporter()
{
    LinkReporter reporter;
    reporter.problem = printProblem;
    reporter.trace = printRaw;
    return reporter;
}
