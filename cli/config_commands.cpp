// write and diff: the device's configuration against a profile.
#include "cli/commands.h"
#include "cli/config_file.h"
#include "cli/console.h"
#include "cli/device_requests.h"
#include "cli/exit_codes.h"
#include "config/config_values.h"
#include "config/field_rules.h"
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

// Judges the values as the window does before an update: every row's
// diagnosis, then the texts that do not fit the record.
bool valuesPass(const QStringList &values)
{
    const QStringList diagnoses = diagnoseAll(values);
    QStringList lines;
    for (int row = 0; row < ConfigRowCount; ++row) {
        if (!diagnoses.at(row).isEmpty())
            lines << QString::fromLatin1(kConfigFields[row].rowName) + QStringLiteral(": ") +
                         diagnoses.at(row);
    }
    lines << textsThatDoNotFit(values);
    for (const QString &line : lines)
        printRaw(line);
    if (lines.isEmpty())
        return true;
    printProblem(QStringLiteral("the values do not pass the checks; nothing sent"));
    return false;
}

int showPlannedChanges(const QStringList &deviceValues, const QStringList &values)
{
    const QStringList lines = differenceLines(deviceValues, values, QStringLiteral("%1: %2 -> %3"));
    for (const QString &line : lines)
        printResult(line);
    if (lines.isEmpty())
        printResult(QStringLiteral("No value would change."));
    return ExitDone;
}

int verify(DeviceLink &link, const QStringList &sent)
{
    QStringList readBack;
    const int code = queryValues(link, readBack);
    if (code != ExitDone)
        return code;
    const QStringList lines =
        differenceLines(sent, readBack, QStringLiteral("%1: sent %2, read back %3"));
    for (const QString &line : lines)
        printResult(line);
    if (!lines.isEmpty()) {
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
    DeviceLink link(linkSettings(invocation));
    QStringList deviceValues;
    QStringList values;
    int code = readAndChange(invocation, link, deviceValues, values);
    if (code != ExitDone)
        return code;
    if (!valuesPass(values))
        return ExitInvalidInput;
    if (invocation.dryRun)
        return showPlannedChanges(deviceValues, values);
    DeviceConfig config;
    configFromValues(values, config);
    code = statusExchange(link, kConfigUpdateKind, configUpdateRequest(config));
    if (code != ExitDone || invocation.noVerify)
        return code;
    return verify(link, valuesFromConfig(config));
}

int runDiff(const Invocation &invocation)
{
    DeviceLink link(linkSettings(invocation));
    QStringList deviceValues;
    QStringList values;
    const int code = readAndChange(invocation, link, deviceValues, values);
    if (code != ExitDone)
        return code;
    const QStringList lines = differenceLines(deviceValues, values, QStringLiteral("%1: %2 -> %3"));
    for (const QString &line : lines)
        printResult(line);
    return lines.isEmpty() ? ExitDone : ExitDiffers;
}
