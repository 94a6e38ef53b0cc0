// The device at work: requests read from its port, handled by the simulator,
// and answered with the faults the options ask for.
#ifndef TOOLS_DEVSIM_SERVE_H
#define TOOLS_DEVSIM_SERVE_H

#include "tools/devsim/options.h"

#include <vector>

namespace devsim {

// Answers requests until stopped, until the port breaks, or until the
// hang-up that --hangup-after asks for; answers the exit status. Unit N
// starts with the configuration units[N-1], or a fresh device's past the
// end; SIGUSR1 takes the unit off the port and puts the next one on.
int serve(int master, int slave, const Options &options, const std::vector<DeviceConfig> &units);

} // namespace devsim

#endif // TOOLS_DEVSIM_SERVE_H
