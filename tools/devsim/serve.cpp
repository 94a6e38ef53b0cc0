#include "tools/devsim/serve.h"

#include "tools/devsim/port.h"
#include "tools/devsim/state_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace devsim {

namespace {

void saveCertificate(const std::string &path, const Bytes &certificate)
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
bool answer(int master, const Options &options, const Simulator &simulator, const Bytes &response,
            LinePace &pace)
{
    if (options.silent || response.empty())
        return false;
    if (options.delayMs > 0)
        sleepMs(options.delayMs);
    const std::vector<Bytes> pieces =
        splitInto(simulator.frame(response), static_cast<int>(options.split));
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

// What one run of the device keeps between requests.
struct Session {
    explicit Session(const Options &chosen)
        : options(chosen), simulator(chosen.faults), brokenFramer(withBadChecksum(chosen.faults)),
          inbound(chosen.baud), outbound(chosen.baud)
    {
    }
    static Faults withBadChecksum(Faults faults)
    {
        faults.badChecksum = true;
        return faults;
    }

    const Options &options;
    Simulator simulator;
    const Simulator brokenFramer; // frames the responses --bad-checksum-every picks
    LinePace inbound;
    LinePace outbound;
    FrameReader reader;
    long responses = 0; // responses made, sent or not
    long answered = 0;  // responses sent
};

// Handles one request; true when the port is to be hung up now.
bool respond(Session &session, int master, const Bytes &request)
{
    const Options &options = session.options;
    const Outcome outcome = session.simulator.handle(request.data(), request.size());
    if (!outcome.problem.empty())
        std::fprintf(stderr, "kestro-devsim: %s\n", outcome.problem.c_str());
    if (!outcome.note.empty())
        std::fprintf(stderr, "kestro-devsim: %s\n", outcome.note.c_str());
    if (outcome.certificateStored && !options.certOut.empty())
        saveCertificate(options.certOut, session.simulator.certificate());
    std::string problem;
    if (outcome.configStored && !options.stateFile.empty() &&
        !saveState(options.stateFile, session.simulator.config(), problem))
        std::fprintf(stderr, "kestro-devsim: %s\n", problem.c_str());
    const bool broken = options.badChecksumEvery > 0 && !outcome.response.empty() &&
                        ++session.responses % options.badChecksumEvery == 0;
    return answer(master, options, broken ? session.brokenFramer : session.simulator,
                  outcome.response, session.outbound) &&
           ++session.answered == options.hangupAfter;
}

// Reads requests out of bytes that came in and answers each; true when the
// port is to be hung up now.
bool take(Session &session, int master, const uint8_t *bytes, size_t count)
{
    for (size_t i = 0; i < count && !stopRequested; ++i) {
        const FrameReader::Event event = session.reader.feed(bytes[i]);
        if (event == FrameReader::Event::Error)
            std::fprintf(stderr, "kestro-devsim: damaged frame dropped\n");
        if (event == FrameReader::Event::Message &&
            respond(session, master, session.reader.message()))
            return true;
    }
    return false;
}

} // namespace

int serve(int master, int slave, const Options &options, const DeviceConfig &initial)
{
    Session session(options);
    session.simulator.setConfig(initial);
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
        if (take(session, master, bytes, size_t(count))) {
            waitUntilTaken(slave);
            std::fprintf(stderr, "kestro-devsim: hanging up after %ld responses\n",
                         session.answered);
            return 0;
        }
    }
    return 0;
}

} // namespace devsim
