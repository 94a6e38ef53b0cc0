// kestro-devsim: plays the device on a pseudo-terminal, so that the tool can be
// tried and tested without hardware.
#include "tools/devsim/options.h"
#include "tools/devsim/port.h"
#include "tools/devsim/serve.h"
#include "tools/devsim/state_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

void onSignal(int)
{
    devsim::stopRequested = 1;
}

// Only a flag is set here; the loop that waits on the port acts on it.
void onSwap(int)
{
    devsim::swapRequested = 1;
}

void handleSignals()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal; // no SA_RESTART: poll must wake up
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = onSwap;
    sigaction(SIGUSR1, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// The configuration each unit with a state file starts with: the file's, or
// a fresh device's while there is no file yet. All are read before the port
// appears, so that a bad one is refused at once. False, said why, if a file
// is not a state.
bool loadUnits(const devsim::Options &options, std::vector<DeviceConfig> &units)
{
    for (size_t i = 0; i < options.stateFiles.size(); ++i) {
        DeviceConfig config = devsim::defaultConfig();
        std::string problem;
        if (devsim::loadState(options.stateFiles[i], config, problem) ==
            devsim::StateLoad::Invalid) {
            std::fprintf(stderr, "kestro-devsim: unit %zu: %s\n", i + 1, problem.c_str());
            return false;
        }
        units.push_back(config);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    devsim::Options options;
    const int parsed = devsim::parseOptions(argc, argv, options);
    if (parsed >= 0)
        return parsed;
    handleSignals();
    std::vector<DeviceConfig> units;
    if (!loadUnits(options, units))
        return 1;

    int master = -1;
    int slave = -1;
    const std::string portPath = devsim::openPort(master, slave);
    if (portPath.empty())
        return 1;

    if (!options.link.empty() && !devsim::makeLink(options.link, portPath)) {
        std::fprintf(stderr, "kestro-devsim: cannot link %s to %s: %s\n", options.link.c_str(),
                     portPath.c_str(), std::strerror(errno));
        return 1;
    }

    std::printf("%s\n", portPath.c_str());
    std::fflush(stdout);

    const int status = devsim::serve(master, slave, options, units);

    if (!options.link.empty())
        devsim::removeLink(options.link, portPath);
    // Closing the device's end hangs the port up, as a pulled cable does.
    close(master);
    close(slave);
    return status;
}
