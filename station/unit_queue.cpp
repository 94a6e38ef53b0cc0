#include "station/unit_queue.h"

const char *stepName(FailedStep step)
{
    switch (step) {
    case FailedStep::None: return "";
    case FailedStep::Ping: return "ping";
    case FailedStep::Write: return "write";
    case FailedStep::Verify: return "verify";
    case FailedStep::Certificate: return "certificate";
    case FailedStep::Port: return "port";
    case FailedStep::Lease: return "lease";
    case FailedStep::Interrupted: return "interrupted";
    }
    return "";
}

const char *identityName(IdentityFate fate)
{
    switch (fate) {
    case IdentityFate::None: return "";
    case IdentityFate::Returned: return "returned";
    case IdentityFate::NotHeld: return "not_held";
    case IdentityFate::Kept: return "kept";
    }
    return "";
}

QString rowLabel(int row, const QString &unit)
{
    const QString label = QStringLiteral("row %1").arg(row);
    return unit.isEmpty() ? label : label + QStringLiteral(" (%1)").arg(unit);
}

QString keptRowNote(const KeptRow &kept, const QString &onto)
{
    return QStringLiteral(
               "%1 is kept for its unit, which had its values on %2: put that unit on %3")
        .arg(rowLabel(kept.row, kept.unit), kept.where(), onto);
}
