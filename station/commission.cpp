#include "station/commission.h"
#include "config/field_rules.h"
#include "link/unit_steps.h"

#include <QElapsedTimer>

namespace {

// Fails the result at `step`, or at the port if the port went; the link has
// told its own verdicts, the steps' diagnoses are told here.
UnitResult &failed(UnitResult &result, FailedStep step, const StepResult &outcome, DeviceLink &link)
{
    if (outcome.outcome != StepOutcome::NoResponse && outcome.outcome != StepOutcome::PortLost)
        link.tell(outcome.message);
    result.failedStep = outcome.outcome == StepOutcome::PortLost ? FailedStep::Port : step;
    result.message = outcome.message;
    return result;
}

StepResult valuesToWrite(const UnitJob &job, const QStringList &deviceValues, QStringList &values)
{
    StepResult outcome;
    values = withChanges(deviceValues, job.changes);
    const QStringList problems = valueProblems(values);
    if (!problems.isEmpty()) {
        outcome.outcome = StepOutcome::InvalidValues;
        outcome.message = problems.first();
    }
    return outcome;
}

UnitResult steps(DeviceLink &link, const UnitJob &job, const QStringList &deviceValues)
{
    UnitResult result;
    QStringList values;
    StepResult outcome = valuesToWrite(job, deviceValues, values);
    if (outcome.done())
        outcome = writeValues(link, values);
    if (!outcome.done())
        return failed(result, FailedStep::Write, outcome, link);
    outcome = readBackValues(link, values, result.values);
    if (!outcome.done())
        return failed(result, FailedStep::Verify, outcome, link);
    if (job.certificate.isEmpty())
        return result;
    outcome = uploadCertificate(link, job.certificate);
    if (!outcome.done())
        return failed(result, FailedStep::Certificate, outcome, link);
    return result;
}

} // namespace

UnitResult commission(DeviceLink &link, const UnitJob &job, const QStringList &deviceValues)
{
    QElapsedTimer clock;
    clock.start();
    UnitResult result = steps(link, job, deviceValues);
    result.seconds = double(clock.elapsed()) / 1000.0;
    return result;
}
