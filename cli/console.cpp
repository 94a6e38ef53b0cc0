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

// Characters that a terminal acts on, or that move or reorder the text
// around them, rather than show.
bool unprintable(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
           (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

QString escaped(char32_t c)
{
    switch (c) {
    case '\n': return QStringLiteral("\\n");
    case '\r': return QStringLiteral("\\r");
    case '\t': return QStringLiteral("\\t");
    default: break;
    }
    if (c <= 0xff)
        return QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
    return QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
}

} // namespace

QString printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (unprintable(c))
            shown += escaped(c);
        else
            shown += QString::fromUcs4(&c, 1);
    }
    return shown;
}

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
    writeTo(stderr, (QStringLiteral("kestroctl: ") + printable(line) + QLatin1Char('\n')).toUtf8());
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
