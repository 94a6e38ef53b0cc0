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
