// One fixture of a station: the units that come and go on one port.
#include "cli/console.h"
#include "cli/device_requests.h"
#include "cli/exit_codes.h"
#include "cli/station.h"
#include "cli/unit_steps.h"
#include "device/exchange_log.h"
#include "protocol/config_fields.h"

#include <QThread>

#include <memory>

namespace {

// How often a fixture looks again for a port that would not open, and how
// often it pings a unit to learn whether it is still there.
constexpr int kOpenRetryMs = 500;
constexpr int kPresencePingMs = 1000;
constexpr int kPauseSliceMs = 50;

// Sleeps `ms`, or less once the station ends.
void pause(const Station &station, int ms)
{
    for (int slept = 0; slept < ms && !station.ended(); slept += kPauseSliceMs)
        QThread::msleep(kPauseSliceMs);
}

LinkResult ping(DeviceLink &link, int32_t &status)
{
    QByteArray response;
    const LinkResult result = link.exchange(kPingKind, emptyRequest(kPingKind), response);
    status = result == LinkResult::Answered ? responseStatus(response) : 0;
    return result;
}

// Opens the port and pings until a unit answers, with `status`; false when
// the station ends first. A port that cannot be opened is tried again: its
// unit may not be plugged in yet.
bool waitForUnit(const Station &station, const LinkSettings &settings,
                 std::unique_ptr<DeviceLink> &link, int32_t &status)
{
    QuietProblems quiet;
    bool toldClosed = false;
    while (!station.ended()) {
        if (!link) {
            link = std::make_unique<DeviceLink>(settings);
            if (!link->open()) {
                link.reset();
                if (!toldClosed)
                    printRaw(QStringLiteral("kestroctl: %1: %2; trying again until it opens")
                                 .arg(settings.port, lastProblem()));
                toldClosed = true;
                pause(station, kOpenRetryMs);
                continue;
            }
        }
        const LinkResult result = ping(*link, status);
        if (result == LinkResult::Answered)
            return true;
        if (result == LinkResult::PortLost)
            link.reset();
        pause(station, kPauseSliceMs);
    }
    return false;
}

// Pings about once a second until the unit stops answering (a fixture whose
// adapter stays) or its port goes (a unit unplugged), or the station ends.
void waitUntilGone(const Station &station, DeviceLink &link)
{
    QuietProblems quiet;
    int32_t status = 0;
    do {
        pause(station, kPresencePingMs);
    } while (!station.ended() && ping(link, status) == LinkResult::Answered);
}

JournalEntry &failed(JournalEntry &entry, const char *step, int code)
{
    entry.failedStep = QLatin1String(code == ExitPort ? kStepPort : step);
    entry.message = lastProblem();
    return entry;
}

// The device's values with the row's over them, if the rules accept them:
// a rule may need a value that only the device gave.
int valuesToWrite(DeviceLink &link, const UnitPlan &plan, QStringList &values)
{
    QStringList deviceValues;
    const int code = queryValues(link, deviceValues);
    if (code != ExitDone)
        return code;
    values = withChanges(deviceValues, plan.changes);
    const QStringList problems = valueProblems(values);
    if (problems.isEmpty())
        return ExitDone;
    printProblem(problems.first());
    return ExitInvalidInput;
}

int verify(DeviceLink &link, const QStringList &values, QStringList &readBack)
{
    const int code = readBackValues(link, values, readBack);
    if (code != ExitDiffers)
        return code;
    // Both come from the record, so text by text they compare as the device holds them.
    const QStringList sent = asRecorded(values);
    QStringList keys;
    for (int row = 0; row < ConfigRowCount; ++row) {
        if (sent.at(row) != readBack.at(row))
            keys << QLatin1String(kConfigFields[row].key);
    }
    printProblem(keys.join(QStringLiteral(", ")) +
                 QLatin1String(keys.size() == 1 ? " differs" : " differ"));
    return code;
}

JournalEntry commission(DeviceLink &link, const UnitPlan &plan)
{
    JournalEntry entry;
    entry.row = plan.row;
    entry.unit = plan.unit;
    QStringList values;
    int code = valuesToWrite(link, plan, values);
    if (code == ExitDone)
        code = writeValues(link, values, StatusReport::OnlyFailure);
    if (code != ExitDone)
        return failed(entry, kStepWrite, code);
    code = verify(link, values, entry.values);
    if (code != ExitDone)
        return failed(entry, kStepVerify, code);
    if (plan.certificate.isEmpty())
        return entry;
    code = uploadCertificate(link, plan.certificate, StatusReport::OnlyFailure);
    if (code != ExitDone)
        return failed(entry, kStepCertificate, code);
    entry.certificateSha256 = plan.certificateSha256;
    return entry;
}

// Takes the next row and commissions the unit with it; false when the
// station ended before a row came free.
bool commissionNext(Station &station, DeviceLink &link, const QString &port)
{
    UnitPlan plan;
    if (!station.rows.take(plan, [&station] { return station.ended(); }))
        return false;
    QElapsedTimer clock;
    clock.start();
    JournalEntry entry = commission(link, plan);
    entry.port = port;
    entry.seconds = double(clock.elapsed()) / 1000.0;
    station.record(entry);
    return true;
}

void recordPingFailure(Station &station, const QString &port, int32_t status)
{
    JournalEntry entry;
    entry.port = port;
    entry.failedStep = QLatin1String(kStepPing);
    entry.message = returnedLine(kPingKind, status);
    station.record(entry);
}

} // namespace

void serveFixture(Station &station, const QString &port)
{
    setThreadProblemPrefix(port + QStringLiteral(": "));
    LinkSettings settings = station.link;
    settings.port = port;
    while (!station.ended()) {
        printProblem(QStringLiteral("waiting for the next unit"));
        std::unique_ptr<DeviceLink> link;
        int32_t status = 0;
        if (!waitForUnit(station, settings, link, status))
            return;
        if (status != 0)
            recordPingFailure(station, port, status);
        else if (!commissionNext(station, *link, port))
            return;
        waitUntilGone(station, *link);
    }
}
