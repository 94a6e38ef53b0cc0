// kestroctl: commissions a Kestro 3 from the command line, for stations and
// scripts. Qt Core and Qt SerialPort only, so it runs without a display.
#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/config_file.h"
#include "cli/console.h"
#include "cli/exit_codes.h"

#include <QCoreApplication>

namespace {

// Results that never reached standard output are what a caller misses most,
// so their loss outweighs what the device said; that goes to standard error.
// A run that sent nothing, or lost its port, keeps its own code.
int withResultsChecked(int code)
{
    const bool deviceSpoke = code == ExitDone || code == ExitDeviceStatus ||
                             code == ExitNoResponse || code == ExitDiffers;
    if (resultsDelivered() || !deviceSpoke)
        return code;
    printProblem(QStringLiteral("cannot write the results to standard output: %1; the device part "
                                "ended with exit %2 (%3)")
                     .arg(resultsLostReason())
                     .arg(code)
                     .arg(QLatin1String(kExitMeanings[code])));
    return ExitResultsLost;
}

} // namespace

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
    // The command line admits only the commands there are.
    return withResultsChecked(findCommand(invocation.command)->run(invocation));
}
