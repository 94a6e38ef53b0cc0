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

// Whether the job is still the fixture's; if not, fails the result there.
bool stillHeld(const std::function<bool(QString &)> &holds, UnitResult &result)
{
    if (!holds || holds(result.message))
        return true;
    result.failedStep = FailedStep::Lease;
    return false;
}

UnitResult steps(DeviceLink &link, const UnitJob &job, const QStringList &deviceValues,
                 const std::function<bool(QString &)> &holds)
{
    UnitResult result;
    QStringList values;
    StepResult outcome = valuesToWrite(job, deviceValues, values);
    if (outcome.done() && !stillHeld(holds, result))
        return result;
    if (outcome.done())
        outcome = writeValues(link, values);
    if (!outcome.done())
        return failed(result, FailedStep::Write, outcome, link);
    outcome = readBackValues(link, values, result.values);
    if (!outcome.done())
        return failed(result, FailedStep::Verify, outcome, link);
    if (job.certificate.isEmpty() || !stillHeld(holds, result))
        return result;
    outcome = uploadCertificate(link, job.certificate);
    if (!outcome.done())
        return failed(result, FailedStep::Certificate, outcome, link);
    return result;
}

} // namespace

UnitResult commission(DeviceLink &link, const UnitJob &job, const QStringList &deviceValues,
                      const std::function<bool(QString &)> &holds)
{
    QElapsedTimer clock;
    clock.start();
    UnitResult result = steps(link, job, deviceValues, holds);
    result.seconds = double(clock.elapsed()) / 1000.0;
    return result;
}
