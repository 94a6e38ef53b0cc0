// What kestroctl's line commands share: their exit codes and their
// connection to the line's database.
#ifndef CLI_LINE_COMMANDS_H
#define CLI_LINE_COMMANDS_H

#include "cli/command_line.h"
#include "line/line_database.h"

int lineExitCode(LineFault fault);
// Prints the failure, with `after` appended, and answers its exit code.
int failed(const LineStatus &status, const QString &after = QString());
// Connects and, unless `forInit`, checks that the schema is one this program
// can work on.
LineStatus connect(const Invocation &invocation, LineDatabase &database, bool forInit = false);

#endif // CLI_LINE_COMMANDS_H
