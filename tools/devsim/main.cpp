// kestro-devsim: plays the device on a pseudo-terminal, so that the tool can be
// tried and tested without hardware.
#include "tools/devsim/simulator.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char usage[] = "Usage: kestro-devsim [OPTION]...\n"
                     "Plays a Kestro 3 device on a pseudo-terminal. The first line on standard\n"
                     "output is the path of its port; open that path at 115200 8N1.\n"
                     "Requests it cannot parse get no answer and a line on standard error.\n"
                     "\n"
                     "  --link PATH       also make PATH a symbolic link to the port, replacing\n"
                     "                    any link already there: a new simulator on the same\n"
                     "                    PATH is the device plugged in again\n"
                     "  --cert-out FILE   write each uploaded certificate to FILE\n"
                     "  --baud N          read and write no faster than an N-baud line (8N1,\n"
                     "                    10 bits a byte); by default as fast as the tool\n"
                     "\n"
                     "Faults, for tests and training:\n"
                     "  --status N        answer every request with status N\n"
                     "  --split N         send each response in N pieces with short pauses\n"
                     "  --split-pause MS  pause MS milliseconds between pieces (default 30)\n"
                     "  --noise           send stray bytes before each response\n"
                     "  --bad-checksum    send each response with a wrong checksum\n"
                     "  --bad-checksum-every N\n"
                     "                    send every N-th response with a wrong checksum\n"
                     "  --wrong-length    make each response message one byte too long\n"
                     "  --unexpected-id   give each response an id outside the message set\n"
                     "  --silent          never answer\n"
                     "  --delay MS        wait MS milliseconds before each answer\n"
                     "  --hangup-after N  close the port after the N-th response, as a pulled\n"
                     "                    cable would, and exit\n"
                     "\n"
                     "  --help            show this text and exit\n";

// Pause between the pieces of a split response by default: long enough for a
// reader to see them arrive separately.
const long defaultSplitPauseMs = 30;

volatile sig_atomic_t stopRequested = 0;

void onSignal(int)
{
    stopRequested = 1;
}

struct Options {
    devsim::Faults faults;
    std::string link;
    std::string certOut;
    long split = 1;
    long splitPauseMs = defaultSplitPauseMs;
    long badChecksumEvery = 0; // 0: as --bad-checksum says, for all or none
    long delayMs = 0;
    long baud = 0;        // 0: no pacing
    long hangupAfter = 0; // 0: never
    bool silent = false;
};

bool parseLong(const char *text, long min, long max, long &value)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max)
        return false;
    value = parsed;
    return true;
}

int badUsage(const std::string &why)
{
    std::fprintf(stderr, "kestro-devsim: %s\nTry 'kestro-devsim --help'.\n", why.c_str());
    return 2;
}

// Parses the command line; returns -1 to go on, otherwise the exit status.
int parseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        const char *value = nullptr;
        bool inlineValue = false;
        const size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = argv[i] + equals + 1;
            name.resize(equals);
            inlineValue = true;
        }
        const bool takesValue = name == "--link" || name == "--cert-out" || name == "--status" ||
                                name == "--split" || name == "--delay" || name == "--split-pause" ||
                                name == "--bad-checksum-every" || name == "--baud" ||
                                name == "--hangup-after";
        if (takesValue && !inlineValue) {
            if (i + 1 >= argc)
                return badUsage(name + " needs a value");
            value = argv[++i];
        } else if (!takesValue && inlineValue) {
            return badUsage(name + " takes no value");
        }

        long number = 0;
        if (name == "--help") {
            std::fputs(usage, stdout);
            return 0;
        } else if (name == "--link") {
            options.link = value;
        } else if (name == "--cert-out") {
            options.certOut = value;
        } else if (name == "--status") {
            if (!parseLong(value, INT32_MIN, INT32_MAX, number))
                return badUsage("--status needs a 32-bit signed number");
            options.faults.overrideStatus = true;
            options.faults.status = static_cast<int32_t>(number);
        } else if (name == "--split") {
            if (!parseLong(value, 1, 100000, options.split))
                return badUsage("--split needs a number of pieces from 1");
        } else if (name == "--split-pause") {
            if (!parseLong(value, 0, 3600000, options.splitPauseMs))
                return badUsage("--split-pause needs milliseconds from 0");
        } else if (name == "--bad-checksum-every") {
            if (!parseLong(value, 1, INT32_MAX, options.badChecksumEvery))
                return badUsage("--bad-checksum-every needs a count from 1");
        } else if (name == "--delay") {
            if (!parseLong(value, 0, 3600000, options.delayMs))
                return badUsage("--delay needs milliseconds from 0");
        } else if (name == "--baud") {
            if (!parseLong(value, 1, 4000000, options.baud))
                return badUsage("--baud needs a rate from 1 to 4000000");
        } else if (name == "--hangup-after") {
            if (!parseLong(value, 1, INT32_MAX, options.hangupAfter))
                return badUsage("--hangup-after needs a count from 1");
        } else if (name == "--noise") {
            options.faults.noise = true;
        } else if (name == "--bad-checksum") {
            options.faults.badChecksum = true;
        } else if (name == "--wrong-length") {
            options.faults.wrongLength = true;
        } else if (name == "--unexpected-id") {
            options.faults.unexpectedId = true;
        } else if (name == "--silent") {
            options.silent = true;
        } else {
            return badUsage("unknown option " + name);
        }
    }
    return -1;
}

void sleepMs(long ms)
{
    timespec remaining{ms / 1000, (ms % 1000) * 1000000L};
    while (!stopRequested && nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

int64_t nowNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

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
    void cross(size_t count)
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

private:
    long baud_;
    int64_t due_ = 0;
};

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

void saveCertificate(const std::string &path, const devsim::Bytes &certificate)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    const bool ok =
        file && std::fwrite(certificate.data(), 1, certificate.size(), file) == certificate.size();
    if (file && std::fclose(file) != 0)
        file = nullptr;
    if (!ok || !file)
        std::fprintf(stderr, "kestro-devsim: cannot write %s: %s\n", path.c_str(),
                     std::strerror(errno));
}

// Sends one response; false if there was none to send.
bool answer(int master, const Options &options, const devsim::Simulator &simulator,
            const devsim::Bytes &response, LinePace &pace)
{
    if (options.silent || response.empty())
        return false;
    if (options.delayMs > 0)
        sleepMs(options.delayMs);
    const std::vector<devsim::Bytes> pieces =
        devsim::splitInto(simulator.frame(response), static_cast<int>(options.split));
    for (size_t i = 0; i < pieces.size() && !stopRequested; ++i) {
        if (i > 0)
            sleepMs(options.splitPauseMs);
        if (!writeAll(master, pieces[i].data(), pieces[i].size(), pace)) {
            std::fprintf(stderr, "kestro-devsim: write to the port failed: %s\n",
                         std::strerror(errno));
            break;
        }
    }
    return true;
}

// Makes `link` a symbolic link to `target`. A link already there is replaced,
// whether it points to a port that is gone or to one still in use, and the
// path never goes missing meanwhile: the new link is made beside it and
// renamed over it. Anything else at `link` is left alone.
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

// Removes `link` if it still points to `target`: a simulator started on the
// same path since then owns it now.
void removeLink(const std::string &link, const std::string &target)
{
    char points[4096];
    const ssize_t length = readlink(link.c_str(), points, sizeof points);
    if (length >= 0 && std::string(points, size_t(length)) == target)
        unlink(link.c_str());
}

// Waits, a few seconds at most, until the tool has taken every byte sent to
// it, so that a hang-up does not swallow the last response. Polling the
// port's own end also waits for bytes the system has not yet passed on.
void waitUntilTaken(int slave)
{
    for (int tries = 0; tries < 500 && !stopRequested; ++tries) {
        pollfd unread{slave, POLLIN, 0};
        if (poll(&unread, 1, 0) == 0)
            return;
        sleepMs(10);
    }
}

// Opens the pseudo-terminal whose port the tool is to open; answers the
// port's path, or an empty string after saying why there is none.
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

// What one run of the device keeps between requests.
struct Session {
    explicit Session(const Options &chosen)
        : options(chosen), simulator(chosen.faults), brokenFramer(withBadChecksum(chosen.faults)),
          inbound(chosen.baud), outbound(chosen.baud)
    {
    }
    static devsim::Faults withBadChecksum(devsim::Faults faults)
    {
        faults.badChecksum = true;
        return faults;
    }

    const Options &options;
    devsim::Simulator simulator;
    const devsim::Simulator brokenFramer; // frames the responses --bad-checksum-every picks
    LinePace inbound;
    LinePace outbound;
    long responses = 0; // responses made, sent or not
    long answered = 0;  // responses sent
};

// Handles one request; true when the port is to be hung up now.
bool respond(Session &session, int master, const devsim::Bytes &request)
{
    const Options &options = session.options;
    const devsim::Outcome outcome = session.simulator.handle(request.data(), request.size());
    if (!outcome.problem.empty())
        std::fprintf(stderr, "kestro-devsim: %s\n", outcome.problem.c_str());
    if (!outcome.note.empty())
        std::fprintf(stderr, "kestro-devsim: %s\n", outcome.note.c_str());
    if (outcome.certificateStored && !options.certOut.empty())
        saveCertificate(options.certOut, session.simulator.certificate());
    const bool broken = options.badChecksumEvery > 0 && !outcome.response.empty() &&
                        ++session.responses % options.badChecksumEvery == 0;
    return answer(master, options, broken ? session.brokenFramer : session.simulator,
                  outcome.response, session.outbound) &&
           ++session.answered == options.hangupAfter;
}

// Answers requests until stopped, until the port breaks, or until the
// hang-up that --hangup-after asks for; answers the exit status.
int serve(int master, int slave, const Options &options)
{
    Session session(options);
    FrameReader reader;
    while (!stopRequested) {
        pollfd waiting{master, POLLIN, 0};
        if (poll(&waiting, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "kestro-devsim: poll failed: %s\n", std::strerror(errno));
            return 1;
        }
        uint8_t bytes[4096];
        const ssize_t count = read(master, bytes, std::min(sizeof bytes, session.inbound.chunk()));
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (count <= 0) {
            std::fprintf(stderr, "kestro-devsim: the port was closed: %s\n",
                         count < 0 ? std::strerror(errno) : "end of file");
            return 1;
        }
        session.inbound.cross(size_t(count));
        for (ssize_t i = 0; i < count && !stopRequested; ++i) {
            const FrameReader::Event event = reader.feed(bytes[i]);
            if (event == FrameReader::Event::Error)
                std::fprintf(stderr, "kestro-devsim: damaged frame dropped\n");
            if (event == FrameReader::Event::Message &&
                respond(session, master, reader.message())) {
                waitUntilTaken(slave);
                std::fprintf(stderr, "kestro-devsim: hanging up after %ld responses\n",
                             session.answered);
                return 0;
            }
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    const int parsed = parseOptions(argc, argv, options);
    if (parsed >= 0)
        return parsed;

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal; // no SA_RESTART: poll must wake up
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int master = -1;
    int slave = -1;
    const std::string portPath = openPort(master, slave);
    if (portPath.empty())
        return 1;

    if (!options.link.empty() && !makeLink(options.link, portPath)) {
        std::fprintf(stderr, "kestro-devsim: cannot link %s to %s: %s\n", options.link.c_str(),
                     portPath.c_str(), std::strerror(errno));
        return 1;
    }

    std::printf("%s\n", portPath.c_str());
    std::fflush(stdout);

    const int status = serve(master, slave, options);

    if (!options.link.empty())
        removeLink(options.link, portPath);
    // Closing the device's end hangs the port up, as a pulled cable does.
    close(master);
    close(slave);
    return status;
}
