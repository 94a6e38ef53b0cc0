#include "tools/devsim/port.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace devsim {

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t swapRequested = 0;

namespace {

int64_t nowNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

void sleepMs(long ms)
{
    timespec remaining{ms / 1000, (ms % 1000) * 1000000L};
    while (!stopRequested && nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void LinePace::cross(size_t count)
{
    if (baud_ <= 0)
        return;
    // An idle line owes no time.
    due_ = std::max(due_, nowNs()) + int64_t(count) * 10 * 1000000000 / baud_;
    const timespec until{time_t(due_ / 1000000000), long(due_ % 1000000000)};
    while (!stopRequested &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

int waitReadable(int fd, long timeoutMs, bool wakeOnSwap)
{
    // The signals stay blocked from the look at the flags until ppoll takes
    // them again, so none can slip in between and leave the wait unending.
    sigset_t asking;
    sigset_t before;
    sigemptyset(&asking);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaddset(&asking, signal);
    sigprocmask(SIG_BLOCK, &asking, &before);
    int result = 0;
    if (!stopRequested && !(wakeOnSwap && swapRequested)) {
        pollfd waiting{fd, POLLIN, 0};
        const timespec limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
        result = ppoll(&waiting, 1, timeoutMs < 0 ? nullptr : &limit, &before);
        if (result < 0 && errno == EINTR)
            result = 0;
    }
    const int error = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = error;
    return result;
}

bool dropFor(int fd, long ms, size_t &dropped)
{
    const int64_t until = nowNs() + int64_t(ms) * 1000000;
    for (int64_t now = nowNs(); now < until && !stopRequested; now = nowNs()) {
        // Rounded up, so that the last wait does not spin at 0 ms.
        const int ready = waitReadable(fd, long((until - now + 999999) / 1000000), false);
        if (ready == 0)
            continue;
        uint8_t bytes[4096];
        const ssize_t count = ready > 0 ? read(fd, bytes, sizeof bytes) : -1;
        if (count > 0)
            dropped += size_t(count);
        else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
            std::fprintf(stderr, "kestro-devsim: the port failed during the swap: %s\n",
                         count == 0 ? "end of file" : std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool writeAll(int fd, const uint8_t *bytes, size_t count, LinePace &pace)
{
    while (count > 0) {
        const ssize_t written = write(fd, bytes, std::min(count, pace.chunk()));
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        pace.cross(size_t(written));
        bytes += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

std::string openPort(int &master, int &slave)
{
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "kestro-devsim: cannot open a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return std::string();
    }
    // Raw from the start, so that nothing is echoed or translated before the
    // tool sets its own line settings. The simulator keeps this end open, so
    // the port stays usable when the tool closes and reopens it.
    termios raw;
    if (tcgetattr(slave, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
    }
    const char *path = ttyname(slave);
    if (!path)
        std::fprintf(stderr, "kestro-devsim: the pseudo-terminal has no name: %s\n",
                     std::strerror(errno));
    return path ? std::string(path) : std::string();
}

bool makeLink(const std::string &link, const std::string &target)
{
    struct stat info;
    if (lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        errno = EEXIST;
        return false;
    }
    const std::string fresh = link + ".new-" + std::to_string(getpid());
    unlink(fresh.c_str());
    if (symlink(target.c_str(), fresh.c_str()) != 0)
        return false;
    if (rename(fresh.c_str(), link.c_str()) != 0) {
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

void removeLink(const std::string &link, const std::string &target)
{
    char points[4096];
    const ssize_t length = readlink(link.c_str(), points, sizeof points);
    if (length >= 0 && std::string(points, size_t(length)) == target)
        unlink(link.c_str());
}

void waitUntilTaken(int slave)
{
    for (int tries = 0; tries < 500 && !stopRequested; ++tries) {
        pollfd unread{slave, POLLIN, 0};
        if (poll(&unread, 1, 0) == 0)
            return;
        sleepMs(10);
    }
}

} // namespace devsim
