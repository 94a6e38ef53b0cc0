// kestro-devsim: plays the device on a pseudo-terminal, so that the tool can be
// tried and tested without hardware.
#include "tools/devsim/simulator.h"

#include <cerrno>
#include <csignal>
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
                     "  --link PATH       also make PATH a symbolic link to the port\n"
                     "  --cert-out FILE   write each uploaded certificate to FILE\n"
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
                                name == "--bad-checksum-every";
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

bool writeAll(int fd, const uint8_t *bytes, size_t count)
{
    while (count > 0) {
        const ssize_t written = write(fd, bytes, count);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
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

void answer(int master, const Options &options, const devsim::Simulator &simulator,
            const devsim::Bytes &response)
{
    if (options.silent || response.empty())
        return;
    if (options.delayMs > 0)
        sleepMs(options.delayMs);
    const std::vector<devsim::Bytes> pieces =
        devsim::splitInto(simulator.frame(response), static_cast<int>(options.split));
    for (size_t i = 0; i < pieces.size() && !stopRequested; ++i) {
        if (i > 0)
            sleepMs(options.splitPauseMs);
        if (!writeAll(master, pieces[i].data(), pieces[i].size())) {
            std::fprintf(stderr, "kestro-devsim: write to the port failed: %s\n",
                         std::strerror(errno));
            return;
        }
    }
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
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "kestro-devsim: cannot open a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return 1;
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
    if (!path) {
        std::fprintf(stderr, "kestro-devsim: the pseudo-terminal has no name: %s\n",
                     std::strerror(errno));
        return 1;
    }
    const std::string portPath = path;

    bool linked = false;
    if (!options.link.empty()) {
        struct stat info;
        if (lstat(options.link.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
            unlink(options.link.c_str());
        if (symlink(portPath.c_str(), options.link.c_str()) != 0) {
            std::fprintf(stderr, "kestro-devsim: cannot link %s to %s: %s\n", options.link.c_str(),
                         portPath.c_str(), std::strerror(errno));
            return 1;
        }
        linked = true;
    }

    std::printf("%s\n", portPath.c_str());
    std::fflush(stdout);

    devsim::Simulator simulator(options.faults);
    // Frames the responses that --bad-checksum-every picks.
    devsim::Faults brokenFaults = options.faults;
    brokenFaults.badChecksum = true;
    const devsim::Simulator brokenFramer(brokenFaults);
    long responses = 0;
    FrameReader reader;
    int status = 0;
    while (!stopRequested) {
        pollfd waiting{master, POLLIN, 0};
        const int ready = poll(&waiting, 1, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "kestro-devsim: poll failed: %s\n", std::strerror(errno));
            status = 1;
            break;
        }
        uint8_t bytes[4096];
        const ssize_t count = read(master, bytes, sizeof bytes);
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (count <= 0) {
            std::fprintf(stderr, "kestro-devsim: the port was closed: %s\n",
                         count < 0 ? std::strerror(errno) : "end of file");
            status = 1;
            break;
        }
        for (ssize_t i = 0; i < count && !stopRequested; ++i) {
            switch (reader.feed(bytes[i])) {
            case FrameReader::Event::None: break;
            case FrameReader::Event::Error:
                std::fprintf(stderr, "kestro-devsim: damaged frame dropped\n");
                break;
            case FrameReader::Event::Message: {
                const devsim::Bytes request = reader.message();
                const devsim::Outcome outcome = simulator.handle(request.data(), request.size());
                if (!outcome.problem.empty())
                    std::fprintf(stderr, "kestro-devsim: %s\n", outcome.problem.c_str());
                if (!outcome.note.empty())
                    std::fprintf(stderr, "kestro-devsim: %s\n", outcome.note.c_str());
                if (outcome.certificateStored && !options.certOut.empty())
                    saveCertificate(options.certOut, simulator.certificate());
                const bool broken = options.badChecksumEvery > 0 && !outcome.response.empty() &&
                                    ++responses % options.badChecksumEvery == 0;
                answer(master, options, broken ? brokenFramer : simulator, outcome.response);
                break;
            }
            }
        }
    }

    if (linked)
        unlink(options.link.c_str());
    close(slave);
    close(master);
    return status;
}
