#include "station/commission.h"
#include "config/field_rules.h"
#include "link/unit_steps.h"
#include "station/identity.h"

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

// `sent` turns true once the Config Update goes out: from then on the
// unit may hold the row's values.
UnitResult steps(DeviceLink &link, const UnitJob &job, const QStringList &deviceValues,
                 const std::function<bool(QString &)> &holds, bool &sent)
{
    UnitResult result;
    QStringList values;
    StepResult outcome = valuesToWrite(job, deviceValues, values);
    if (outcome.done() && !stillHeld(holds, result))
        return result;
    sent = outcome.done();
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

// A unit that failed once the row's values may have reached it gives the
// row's identity back while it still answers: written back to its own
// values, read back. One that does not hold the identity is left as it is.
IdentityFate giveBack(DeviceLink &link, const UnitJob &job, const QStringList &ownValues,
                      const UnitResult &result)
{
    if (result.failedStep == FailedStep::Port || link.interrupted())
        return IdentityFate::Kept;
    QStringList now;
    if (!queryValues(link, now).done())
        return IdentityFate::Kept;
    if (!holdsIdentity(job, now))
        return IdentityFate::NotHeld;
    return restoreValues(link, ownValues).done() ? IdentityFate::Returned : IdentityFate::Kept;
}

} // namespace

UnitResult commission(DeviceLink &link, const UnitJob &job, const QStringList &deviceValues,
                      const std::function<bool(QString &)> &holds)
{
    QElapsedTimer clock;
    clock.start();
    bool sent = false;
    UnitResult result = steps(link, job, deviceValues, holds, sent);
    // A row without an identity is any unit's: nothing to give back.
    if (!result.passed() && sent && !job.identity.isEmpty())
        result.identity = giveBack(link, job, deviceValues, result);
    result.seconds = double(clock.elapsed()) / 1000.0;
    return result;
}
