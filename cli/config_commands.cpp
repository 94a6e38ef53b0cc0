// write, diff and check: the device's configuration against a profile.
#include "cli/commands.h"
#include "cli/config_file.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "config/field_rules.h"
#include "link/unit_steps.h"
#include "protocol/config_fields.h"

namespace {

// The profile's values, then the --set pairs over them.
bool readChanges(const Invocation &invocation, ValueChanges &changes)
{
    QString problem;
    if (readProfileArgument(invocation.file, changes, problem) &&
        applySetPairs(invocation.setPairs, changes, problem))
        return true;
    printProblem(problem + QStringLiteral("; nothing sent"));
    return false;
}

// Judges the values as the window does before an update.
bool valuesPass(const QStringList &values)
{
    const QStringList lines = valueProblems(values);
    for (const QString &line : lines)
        printRaw(line);
    if (lines.isEmpty())
        return true;
    printProblem(QStringLiteral("the values do not pass the checks; nothing sent"));
    return false;
}

// The lines of the keys that differ, as diff prints them; false when none
// does.
bool showChanges(const QStringList &deviceValues, const QStringList &values, bool showSecrets)
{
    const QStringList lines =
        differenceLines(deviceValues, values, QStringLiteral("%1: %2 -> %3"), showSecrets);
    for (const QString &line : lines)
        printResult(line);
    return !lines.isEmpty();
}

// Reads the values back and shows each that differs from what was written.
int showReadBack(DeviceLink &link, const QStringList &written, bool showSecrets)
{
    QStringList readBack;
    const StepResult step = readBackValues(link, written, readBack);
    if (step.outcome == StepOutcome::DeviceStatus)
        printResult(step.message);
    const int code = exitCodeOf(step.outcome);
    if (code != ExitDone && code != ExitDiffers)
        return code;
    const QStringList lines = differenceLines(
        asRecorded(written), readBack, QStringLiteral("%1: sent %2, read back %3"), showSecrets);
    for (const QString &line : lines)
        printResult(line);
    if (code == ExitDiffers) {
        printProblem(QStringLiteral("the configuration read back differs from the one sent"));
        return ExitDiffers;
    }
    printResult(QStringLiteral("Read back: all %1 values match.").arg(ConfigRowCount));
    return ExitDone;
}

// What write and diff both begin with: the device's values, read after the
// file and the --set pairs were found sound, and those values with the
// changes applied.
int readAndChange(const Invocation &invocation, DeviceLink &link, QStringList &deviceValues,
                  QStringList &values)
{
    ValueChanges changes;
    if (!readChanges(invocation, changes))
        return ExitInvalidInput;
    const int code = openAndQueryValues(link, deviceValues);
    if (code == ExitDone)
        values = withChanges(deviceValues, changes);
    return code;
}

} // namespace

int runWrite(const Invocation &invocation)
{
    DeviceLink link(invocation, consoleReporter());
    QStringList deviceValues;
    QStringList values;
    int code = readAndChange(invocation, link, deviceValues, values);
    if (code != ExitDone)
        return code;
    if (!valuesPass(values))
        return ExitInvalidInput;
    // What is about to change is said before it is sent.
    const bool changes = showChanges(deviceValues, values, invocation.showSecrets);
    if (invocation.dryRun) {
        if (!changes)
            printResult(QStringLiteral("No value would change."));
        return ExitDone;
    }
    code = reportStatusStep(writeValues(link, values), kConfigUpdateKind);
    if (code != ExitDone || invocation.noVerify)
        return code;
    return showReadBack(link, values, invocation.showSecrets);
}

int runDiff(const Invocation &invocation)
{
    DeviceLink link(invocation, consoleReporter());
    QStringList deviceValues;
    QStringList values;
    const int code = readAndChange(invocation, link, deviceValues, values);
    if (code != ExitDone)
        return code;
    return showChanges(deviceValues, values, invocation.showSecrets) ? ExitDiffers : ExitDone;
}

int runCheck(const Invocation &invocation)
{
    ValueChanges changes;
    QString problem;
    if (!readProfileArgument(invocation.file, changes, problem) ||
        !applySetPairs(invocation.setPairs, changes, problem)) {
        printProblem(problem);
        return ExitInvalidInput;
    }
    const QStringList problems = givenValueProblems(changes);
    for (const QString &line : problems)
        printResult(line);
    if (!problems.isEmpty())
        return ExitInvalidInput;
    printResult(QStringLiteral("All %1 given values pass the checks.").arg(changes.size()));
    return ExitDone;
}
