// kestroctl: commissions a Kestro 3 from the command line, for stations and
// scripts. Qt Core and Qt SerialPort only, so it runs without a display.
#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/config_file.h"
#include "cli/console.h"
#include "cli/exit_codes.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestroctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRO_VERSION));

    Invocation invocation;
    QString problem;
    // Refused like a bad value in a file: the arguments are sound in form.
    if (!setValuesAreUtf8(argc, argv, problem)) {
        printProblem(problem + QStringLiteral("; nothing sent"));
        return ExitInvalidInput;
    }
    switch (parseCommandLine(QCoreApplication::arguments(), invocation, problem)) {
    case ParseOutcome::ShowHelp: printResultText(helpText().toUtf8()); return ExitDone;
    case ParseOutcome::ShowVersion:
        printResult(QStringLiteral("kestroctl ") + QStringLiteral(KESTRO_VERSION));
        return ExitDone;
    case ParseOutcome::UsageError:
        printProblem(problem);
        printRaw(usageText());
        return ExitUsage;
    case ParseOutcome::Run: break;
    }
    const int code = runCommand(invocation);
    if (code == ExitDone && !resultsDelivered()) {
        // Like a file given with -o that cannot be written.
        printProblem(QStringLiteral("cannot write the results to standard output"));
        return ExitInvalidInput;
    }
    return code;
}
