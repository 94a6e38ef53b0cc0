#include "tests/support/devsim_process.h"

#include <QDeadlineTimer>

#include <unistd.h>

QString DevsimProcess::programPath()
{
    return QStringLiteral(KESTRO_DEVSIM_PATH);
}

DevsimProcess::~DevsimProcess()
{
    if (toolEnd_ >= 0)
        close(toolEnd_);
    stop();
}

bool DevsimProcess::start(const QStringList &arguments, int patienceMs)
{
    process_.start(programPath(), arguments);
    const QDeadlineTimer deadline(patienceMs);
    while (!process_.canReadLine()) {
        if (deadline.hasExpired() || !process_.waitForReadyRead(int(deadline.remainingTime())))
            return false;
    }
    portPath_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
    return !portPath_.isEmpty();
}

int DevsimProcess::stop(int patienceMs)
{
    if (process_.state() == QProcess::NotRunning)
        return process_.exitCode();
    process_.terminate();
    if (process_.waitForFinished(patienceMs))
        return process_.exitCode();
    process_.kill();
    process_.waitForFinished(patienceMs);
    return -1;
}

bool DevsimProcess::openPort()
{
    toolEnd_ = openRaw(portPath_);
    return toolEnd_ >= 0;
}
