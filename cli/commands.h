// kestroctl's commands. Each answers its exit code.
#ifndef CLI_COMMANDS_H
#define CLI_COMMANDS_H

#include "cli/command_line.h"
#include "link/device_requests.h"

#include <atomic>

class UnitQueue;

// One command: its name, how many FILE arguments follow it, whether it
// talks to a device, and what runs it. The command line accepts exactly the
// commands of this table.
struct CommandShape {
    const char *name;
    int files;
    bool needsPort;
    int (*run)(const Invocation &invocation);
};

// The command called `name`, or nullptr.
const CommandShape *findCommand(const QString &name);

int runPorts(const Invocation &invocation);
int runPing(const Invocation &invocation);
int runRead(const Invocation &invocation);
int runWrite(const Invocation &invocation);
int runDiff(const Invocation &invocation);
int runUploadCert(const Invocation &invocation);
int runCheck(const Invocation &invocation);
int runStationCommand(const Invocation &invocation);
// station --batch: the rows of a batch in the line's database.
int runLineStation(const Invocation &invocation);
// From now on SIGINT and SIGTERM are the operator's stop: the first stops
// the station after the units in progress, the next one at once. Answers
// the first's flag.
const std::atomic<bool> *catchStopSignals();
// Runs the station on the command line's ports with `queue`, printing what
// the operator should see, until it ends; answers the exit code.
int serveStation(const Invocation &invocation, UnitQueue &queue);
int runLineInit(const Invocation &invocation);
int runLineImport(const Invocation &invocation);
int runLineStatus(const Invocation &invocation);
int runLineExport(const Invocation &invocation);
int runLineRelease(const Invocation &invocation);
// The line that says a kept row was freed for any unit.
QString releasedLine(const QString &row, const QString &reason);

// A status step's result as a command reports it: the window's "<request>
// returned <status>" line on standard output when the device answered.
// Answers the exit code.
int reportStatusStep(const StepResult &step, const MessageKind &kind);
// Opens the link and reads the device's values; a non-zero status is
// printed as the result. Answers the exit code.
int openAndQueryValues(DeviceLink &link, QStringList &values);

#endif // CLI_COMMANDS_H
