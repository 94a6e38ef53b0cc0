// The device simulator program for tests: started with the given options,
// it prints the path of its port as its first line, which this reads. Ends
// the simulator when it goes out of scope.
#ifndef TESTS_SUPPORT_DEVSIM_PROCESS_H
#define TESTS_SUPPORT_DEVSIM_PROCESS_H

#include "tests/support/raw_pty.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

class DevsimProcess
{
public:
    // The simulator program built beside the tests.
    static QString programPath();

    DevsimProcess() = default;
    ~DevsimProcess();
    DevsimProcess(const DevsimProcess &) = delete;
    DevsimProcess &operator=(const DevsimProcess &) = delete;

    // Starts the simulator and waits up to patienceMs for its port's path;
    // false if the path did not come.
    bool start(const QStringList &arguments = QStringList(), int patienceMs = 5000);

    const QString &portPath() const { return portPath_; }
    QProcess &process() { return process_; }

    // Ends the simulator as a user would (SIGTERM) and answers its exit
    // code; -1 if it had to be killed.
    int stop(int patienceMs = 5000);

    // The test as the tool: opens the port raw, sends requests and receives
    // until `count` bytes came or `patienceMs` passed (fewer bytes are the
    // test's to judge).
    bool openPort();
    bool send(const QByteArray &bytes)
    {
        return writeAvailable(toolEnd_, bytes.constData(), size_t(bytes.size())) ==
               size_t(bytes.size());
    }
    QByteArray receive(int count, int patienceMs = 5000)
    {
        return readAtLeast(toolEnd_, count, patienceMs);
    }

private:
    QString portPath_;
    QProcess process_;
    int toolEnd_ = -1;
};

#endif // TESTS_SUPPORT_DEVSIM_PROCESS_H
