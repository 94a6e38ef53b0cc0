// kestroctl's exit codes. Scripts branch on them, so they never change
// meaning; --help and the manual page print the same table.
#ifndef CLI_EXIT_CODES_H
#define CLI_EXIT_CODES_H

enum ExitCode : int {
    ExitDone = 0,
    ExitDeviceStatus = 1, // the device answered with a non-zero status
    ExitUsage = 2,
    ExitNoResponse = 3,    // no valid response after all tries
    ExitPort = 4,          // the port cannot be opened, or was lost
    ExitInvalidInput = 5,  // a file or value is invalid; nothing was sent
    ExitDiffers = 6,       // device and file differ, or the read-back differs
    ExitResultsLost = 7,   // the results (a station's journal) could not be written
    ExitInterrupted = 130, // a station stopped by SIGINT or SIGTERM
};

inline constexpr char kExitCodeTable[] =
    "Exit codes:\n"
    "    0  done\n"
    "    1  the device answered with a non-zero status (the status is printed)\n"
    "    2  usage error\n"
    "    3  no valid response after all tries\n"
    "    4  the port cannot be opened, or was lost\n"
    "    5  the input file or a value is invalid; nothing was sent\n"
    "    6  the device and the file differ (diff), or the read-back after write differs\n"
    "    7  the results could not be written (station: the journal)\n"
    "  130  station: stopped by SIGINT or SIGTERM after the units in progress\n";

#endif // CLI_EXIT_CODES_H
