// The simulator's state file: the configuration as `kestroctl read` prints
// it, so that a simulated device keeps its settings across a power cycle
// (a new simulator on the same file), and a test can see what it holds.
#ifndef TOOLS_DEVSIM_STATE_FILE_H
#define TOOLS_DEVSIM_STATE_FILE_H

#include "protocol/device_config.h"

#include <string>

namespace devsim {

enum class StateLoad { Loaded, Absent, Invalid };

// Loads the configuration. Invalid, with the reason, when the file is there
// but does not hold all thirteen keys with values that fit the record.
StateLoad loadState(const std::string &path, DeviceConfig &config, std::string &problem);

// Replaces the file whole (a new file renamed over it), so that a reader
// never sees half of it; false with the reason.
bool saveState(const std::string &path, const DeviceConfig &config, std::string &problem);

} // namespace devsim

#endif // TOOLS_DEVSIM_STATE_FILE_H
