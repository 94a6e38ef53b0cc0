// The device at work: requests read from its port, handled by the simulator,
// and answered with the faults the options ask for.
#ifndef TOOLS_DEVSIM_SERVE_H
#define TOOLS_DEVSIM_SERVE_H

#include "tools/devsim/options.h"

namespace devsim {

// Answers requests, starting with the configuration `initial`, until
// stopped, until the port breaks, or until the hang-up that --hangup-after
// asks for; answers the exit status.
int serve(int master, int slave, const Options &options, const DeviceConfig &initial);

} // namespace devsim

#endif // TOOLS_DEVSIM_SERVE_H
