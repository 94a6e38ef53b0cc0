#include "cli/result_output.h"
#include "cli/console.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Whether `path` is the file that standard output already writes to
// (/dev/stdout, /proc/self/fd/1 or the file itself): replacing it would take
// the results away from under the shell's redirection.
bool isStandardOutput(const struct stat &target)
{
    struct stat out;
    return ::fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == target.st_dev &&
           out.st_ino == target.st_ino;
}

} // namespace

ResultOutput::ResultOutput(const QString &path) : path_(path), kind_(Kind::File), file_(path)
{
    struct stat target;
    const bool exists = ::stat(QFile::encodeName(path).constData(), &target) == 0;
    if (path == QLatin1String("-") || (exists && isStandardOutput(target)))
        kind_ = Kind::StandardOutput;
    else if (exists && !S_ISREG(target.st_mode))
        kind_ = Kind::Stream;
    stream_.setFileName(path);
}

bool ResultOutput::open(bool withSecrets)
{
    switch (kind_) {
    case Kind::StandardOutput: return true;
    case Kind::Stream:
        return stream_.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
               failed(stream_.errorString());
    case Kind::File: break;
    }
    if (!file_.open(QIODevice::WriteOnly))
        return failed(file_.errorString());
    if (withSecrets)
        file_.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

bool ResultOutput::deliver(const QByteArray &results)
{
    switch (kind_) {
    case Kind::StandardOutput:
        printResultText(results);
        return resultsDelivered() || failed(resultsLostReason());
    case Kind::Stream:
        if (stream_.write(results) != results.size())
            return failed(stream_.errorString());
        stream_.close();
        return stream_.error() == QFileDevice::NoError || failed(stream_.errorString());
    case Kind::File: break;
    }
    if (file_.write(results) != results.size() || !file_.commit())
        return failed(file_.errorString());
    return true;
}

bool ResultOutput::failed(const QString &error) const
{
    const QString name = kind_ == Kind::StandardOutput ? QStringLiteral("standard output") : path_;
    printProblem(QStringLiteral("%1: cannot write: %2").arg(name, error));
    return false;
}
