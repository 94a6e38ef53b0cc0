// kestroctl's exit codes. Scripts branch on them, so they never change
// meaning; --help, the manual page and the README print the same table.
#ifndef CLI_EXIT_CODES_H
#define CLI_EXIT_CODES_H

#include "link/device_requests.h"

enum ExitCode : int {
    ExitDone = 0,
    ExitDeviceStatus = 1, // the device answered with a non-zero status
    ExitUsage = 2,
    ExitNoResponse = 3,    // no valid response after all tries
    ExitPort = 4,          // the port cannot be opened, or was lost
    ExitInvalidInput = 5,  // a file or value is invalid; nothing was sent
    ExitDiffers = 6,       // device and file differ, or the read-back differs
    ExitResultsLost = 7,   // the results could not be written; the device part ran
    ExitLineDatabase = 9,  // the line's database cannot be reached or refused the station
    ExitInterrupted = 130, // a station stopped by SIGINT or SIGTERM
};

// What each code means, indexed by the code.
inline constexpr const char *kExitMeanings[] = {
    "done",
    "the device answered with a non-zero status (the status is printed)",
    "usage error",
    "no valid response after all tries",
    "the port cannot be opened, or was lost",
    "the input file or a value is invalid; nothing was sent",
    "the device and the file differ (diff), or the read-back after write differs",
    "the results (a station's journal) could not be written; the device part of the "
    "command ran",
};
inline constexpr char kLineDatabaseMeaning[] =
    "the line's database cannot be reached or refused the station";
inline constexpr char kInterruptedMeaning[] =
    "station: stopped by SIGINT or SIGTERM after the units in progress (a second one: at once)";
static_assert(sizeof kExitMeanings / sizeof *kExitMeanings == ExitResultsLost + 1,
              "every exit code has its meaning");

// The one mapping from a step's outcome to the exit code that reports it.
inline int exitCodeOf(StepOutcome outcome)
{
    switch (outcome) {
    case StepOutcome::Done: return ExitDone;
    case StepOutcome::DeviceStatus: return ExitDeviceStatus;
    case StepOutcome::NoResponse: return ExitNoResponse;
    case StepOutcome::PortLost: return ExitPort;
    case StepOutcome::InvalidValues: return ExitInvalidInput;
    case StepOutcome::Differs: return ExitDiffers;
    }
    return ExitNoResponse;
}

#endif // CLI_EXIT_CODES_H
