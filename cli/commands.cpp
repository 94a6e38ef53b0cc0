#include "cli/commands.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "cli/result_output.h"
#include "config/profile.h"
#include "device/exchange_log.h"
#include "link/unit_steps.h"

const CommandShape kCommandShapes[] = {
    {"ports", 0, false, runPorts},
    {"ping", 0, true, runPing},
    {"read", 0, true, runRead},
    {"write", 1, true, runWrite},
    {"diff", 1, true, runDiff},
    {"upload-cert", 1, true, runUploadCert},
    {"check", 1, false, runCheck},
    {"station", 1, true, runStationCommand},
    {"line init", 0, false, runLineInit},
    {"line import", 1, false, runLineImport},
    {"line status", 0, false, runLineStatus},
    {"line export", 0, false, runLineExport},
    {"line release", 0, false, runLineRelease},
};

const CommandShape *findCommand(const QString &name)
{
    for (const CommandShape &shape : kCommandShapes) {
        if (name == QLatin1String(shape.name))
            return &shape;
    }
    return nullptr;
}

int reportStatusStep(const StepResult &step, const MessageKind &kind)
{
    if (step.outcome == StepOutcome::Done)
        printResult(returnedLine(kind, 0));
    else if (step.outcome == StepOutcome::DeviceStatus)
        printResult(step.message);
    return exitCodeOf(step.outcome);
}

int openAndQueryValues(DeviceLink &link, QStringList &values)
{
    if (!link.open())
        return ExitPort;
    const StepResult step = queryValues(link, values);
    if (step.outcome == StepOutcome::DeviceStatus)
        printResult(step.message);
    return exitCodeOf(step.outcome);
}

int runPing(const Invocation &invocation)
{
    DeviceLink link(invocation, consoleReporter());
    if (!link.open())
        return ExitPort;
    return reportStatusStep(statusExchange(link, kPingKind, emptyRequest(kPingKind)), kPingKind);
}

int runRead(const Invocation &invocation)
{
    ResultOutput output(invocation.outputFile.isEmpty() ? QStringLiteral("-")
                                                        : invocation.outputFile);
    if (!output.open(!invocation.omitSecrets))
        return ExitInvalidInput;
    DeviceLink link(invocation, consoleReporter());
    QStringList values;
    const int code = openAndQueryValues(link, values);
    if (code != ExitDone)
        return code;
    return output.deliver(valuesJson(values, invocation.omitSecrets)) ? ExitDone : ExitResultsLost;
}

int runUploadCert(const Invocation &invocation)
{
    // An empty upload from a script is always a mistake (the window, where
    // a technician picks the file, still sends one).
    QByteArray certificate;
    const QString problem = certificateProblem(invocation.file, certificate);
    if (problem == QLatin1String("empty")) {
        printProblem(QStringLiteral("%1 is empty; nothing sent").arg(invocation.file));
        return ExitInvalidInput;
    }
    if (!problem.isEmpty()) {
        printProblem(QStringLiteral("%1: %2; nothing sent").arg(invocation.file, problem));
        return ExitInvalidInput;
    }
    DeviceLink link(invocation, consoleReporter());
    if (!link.open())
        return ExitPort;
    return reportStatusStep(uploadCertificate(link, certificate), kCertificateUploadKind);
}
