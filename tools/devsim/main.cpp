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

#include <unistd.h>

namespace {

void onSignal(int)
{
    devsim::stopRequested = 1;
}

void handleSignals()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal; // no SA_RESTART: poll must wake up
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// The configuration the device starts with: the state file's, if there is
// one, else the fresh device's. False, said why, if the file is not a state.
bool loadInitialState(const devsim::Options &options, DeviceConfig &config)
{
    std::string problem;
    if (options.stateFile.empty() ||
        devsim::loadState(options.stateFile, config, problem) != devsim::StateLoad::Invalid)
        return true;
    std::fprintf(stderr, "kestro-devsim: %s\n", problem.c_str());
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    devsim::Options options;
    const int parsed = devsim::parseOptions(argc, argv, options);
    if (parsed >= 0)
        return parsed;
    handleSignals();
    DeviceConfig initial = devsim::defaultConfig();
    if (!loadInitialState(options, initial))
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

    const int status = devsim::serve(master, slave, options, initial);

    if (!options.link.empty())
        devsim::removeLink(options.link, portPath);
    // Closing the device's end hangs the port up, as a pulled cable does.
    close(master);
    close(slave);
    return status;
}
