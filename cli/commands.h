// kestroctl's commands. Each answers its exit code.
#ifndef CLI_COMMANDS_H
#define CLI_COMMANDS_H

#include "cli/command_line.h"

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
int runStation(const Invocation &invocation);
int runLineInit(const Invocation &invocation);
int runLineImport(const Invocation &invocation);
int runLineStatus(const Invocation &invocation);
int runLineExport(const Invocation &invocation);

#endif // CLI_COMMANDS_H
