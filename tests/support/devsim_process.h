// The device simulator program for tests: started with the given options,
// it prints the path of its port as its first line, which this reads. Ends
// the simulator when it goes out of scope.
#ifndef TESTS_SUPPORT_DEVSIM_PROCESS_H
#define TESTS_SUPPORT_DEVSIM_PROCESS_H

#include <QDeadlineTimer>
#include <QProcess>
#include <QString>
#include <QStringList>

class DevsimProcess
{
public:
#ifdef KESTRO_DEVSIM_PATH
    DevsimProcess() : program_(QStringLiteral(KESTRO_DEVSIM_PATH)) {}
#endif
    explicit DevsimProcess(const QString &program) : program_(program) {}
    ~DevsimProcess()
    {
        stop();
    }
    DevsimProcess(const DevsimProcess &) = delete;
    DevsimProcess &operator=(const DevsimProcess &) = delete;

    // Starts the simulator and waits up to patienceMs for its port's path;
    // false if the path did not come.
    bool start(const QStringList &arguments = QStringList(), int patienceMs = 5000)
    {
        process_.start(program_, arguments);
        const QDeadlineTimer deadline(patienceMs);
        while (!process_.canReadLine()) {
            if (deadline.hasExpired() || !process_.waitForReadyRead(int(deadline.remainingTime())))
                return false;
        }
        portPath_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
        return !portPath_.isEmpty();
    }

    const QString &portPath() const
    {
        return portPath_;
    }
    QProcess &process()
    {
        return process_;
    }

    // Ends the simulator as a user would (SIGTERM) and answers its exit
    // code; -1 if it had to be killed.
    int stop(int patienceMs = 5000)
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

private:
    QString program_;
    QString portPath_;
    QProcess process_;
};

#endif // TESTS_SUPPORT_DEVSIM_PROCESS_H
