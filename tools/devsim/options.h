// The simulator's command line: what the device is to do and which faults it
// is to show.
#ifndef TOOLS_DEVSIM_OPTIONS_H
#define TOOLS_DEVSIM_OPTIONS_H

#include "tools/devsim/simulator.h"

#include <string>
#include <vector>

namespace devsim {

// Pause between the pieces of a split response by default: long enough for a
// reader to see them arrive separately.
constexpr long kDefaultSplitPauseMs = 30;
// Silence between two units on a fixture by default: a quick hand.
constexpr long kDefaultSwapGapMs = 1000;

struct Options {
    Faults faults;
    std::string link;
    std::string certOut;
    std::vector<std::string> stateFiles; // unit 1's, unit 2's, ...
    long split = 1;
    long splitPauseMs = kDefaultSplitPauseMs;
    long badChecksumEvery = 0; // 0: as --bad-checksum says, for all or none
    long delayMs = 0;
    long baud = 0;        // 0: no pacing
    long hangupAfter = 0; // 0: never
    long swapGapMs = kDefaultSwapGapMs;
    bool silent = false;
    bool help = false;
};

// Reads the command line into `options`. Answers -1 to go on, otherwise the
// status to exit with: 0 after printing the usage for --help, 2 after saying
// on standard error what is wrong with the command line.
int parseOptions(int argc, char **argv, Options &options);

} // namespace devsim

#endif // TOOLS_DEVSIM_OPTIONS_H
