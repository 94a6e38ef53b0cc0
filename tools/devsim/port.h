// The pseudo-terminal the simulator answers on: opening it, naming it by a
// link, and moving bytes across it at the pace of a serial line.
#ifndef TOOLS_DEVSIM_PORT_H
#define TOOLS_DEVSIM_PORT_H

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

namespace devsim {

// Set by the signal handlers; every wait here ends early once it is set.
extern volatile sig_atomic_t stopRequested;
// Set by SIGUSR1: the unit on the port is to be swapped for the next one.
extern volatile sig_atomic_t swapRequested;

void sleepMs(long ms);

// The pace of a serial line in one direction: at N baud with 8N1 framing a
// byte takes 10 bit times, so a 16 KB frame takes 1.4 s at 115200. Without a
// rate there is no pacing.
class LinePace
{
public:
    explicit LinePace(long baud) : baud_(baud) {}

    // How many bytes to move at once: about 10 ms of the line.
    size_t chunk() const { return baud_ > 0 ? std::max<size_t>(1, size_t(baud_) / 1000) : 4096; }

    // Waits while `count` bytes cross the line after those before them.
    void cross(size_t count);

private:
    long baud_;
    int64_t due_ = 0;
};

bool writeAll(int fd, const uint8_t *bytes, size_t count, LinePace &pace);

// Waits until `fd` has bytes to read, for `timeoutMs` at most (-1: without
// end), or until a stop, or a swap too when `wakeOnSwap`, is asked for. A
// signal that comes just before the wait still ends it. Answers 1 when
// there are bytes, 0 when there are none yet, -1 when the wait failed.
int waitReadable(int fd, long timeoutMs, bool wakeOnSwap);

// Reads and drops whatever arrives on `fd` for `ms` milliseconds, or until
// a stop is asked for; adds the bytes dropped to `dropped`. False, said
// why, if the port failed.
bool dropFor(int fd, long ms, size_t &dropped);

// Opens the pseudo-terminal whose port the tool is to open; answers the
// port's path, or an empty string after saying why there is none.
std::string openPort(int &master, int &slave);

// Makes `link` a symbolic link to `target`. A link already there is replaced,
// whether it points to a port that is gone or to one still in use, and the
// path never goes missing meanwhile: the new link is made beside it and
// renamed over it. Anything else at `link` is left alone.
bool makeLink(const std::string &link, const std::string &target);

// Removes `link` if it still points to `target`: a simulator started on the
// same path since then owns it now.
void removeLink(const std::string &link, const std::string &target);

// Waits, a few seconds at most, until the tool has taken every byte sent to
// it, so that a hang-up does not swallow the last response. Polling the
// port's own end also waits for bytes the system has not yet passed on.
void waitUntilTaken(int slave);

} // namespace devsim

#endif // TOOLS_DEVSIM_PORT_H
