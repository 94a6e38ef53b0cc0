// kestroctl's commands. Each answers its exit code.
#ifndef CLI_COMMANDS_H
#define CLI_COMMANDS_H

#include "cli/command_line.h"

// Runs the command the invocation names.
int runCommand(const Invocation &invocation);

int runPorts(const Invocation &invocation);
int runPing(const Invocation &invocation);
int runRead(const Invocation &invocation);
int runWrite(const Invocation &invocation);
int runDiff(const Invocation &invocation);
int runUploadCert(const Invocation &invocation);

#endif // CLI_COMMANDS_H
