#include "tools/devsim/serve.h"

#include "tools/devsim/port.h"
#include "tools/devsim/state_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

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
    Session(const Options &chosen, const std::vector<DeviceConfig> &configs)
        : options(chosen), units(configs), brokenFramer(withBadChecksum(chosen.faults)),
          inbound(chosen.baud), outbound(chosen.baud)
    {
    }
    static Faults withBadChecksum(Faults faults)
    {
        faults.badChecksum = true;
        return faults;
    }

    // Puts unit `index` (from 0) on the port: its own configuration, no
    // certificate, and nothing of a request the unit before it was given.
    void startUnit(size_t index)
    {
        unit = index;
        simulator = Simulator(options.faults);
        simulator.setConfig(index < units.size() ? units[index] : defaultConfig());
        reader.emplace();
    }
    // Where the unit on the port keeps its configuration; nullptr for none.
    const std::string *stateFile() const
    {
        return unit < options.stateFiles.size() ? &options.stateFiles[unit] : nullptr;
    }

    const Options &options;
    const std::vector<DeviceConfig> &units;
    size_t unit = 0;
    Simulator simulator;
    const Simulator brokenFramer; // frames the responses --bad-checksum-every picks
    LinePace inbound;
    LinePace outbound;
    std::optional<FrameReader> reader; // not copyable: made afresh for each unit
    long responses = 0;                // responses made, sent or not
    long answered = 0;                 // responses sent
    size_t dropped = 0;                // bytes that came in after a swap was asked for
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
    const std::string *stateFile = session.stateFile();
    if (outcome.configStored && stateFile &&
        !saveState(*stateFile, session.simulator.config(), problem))
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
    // Bytes after a swap was asked for are the gap's, and dropped.
    for (size_t i = 0; i < count && !stopRequested; ++i) {
        if (swapRequested) {
            session.dropped += count - i;
            break;
        }
        const FrameReader::Event event = session.reader->feed(bytes[i]);
        if (event == FrameReader::Event::Error)
            std::fprintf(stderr, "kestro-devsim: damaged frame dropped\n");
        if (event == FrameReader::Event::Message &&
            respond(session, master, session.reader->message()))
            return true;
    }
    return false;
}

// Takes the unit off the port, stays silent for the gap, and puts the next
// unit on; false if the port failed meanwhile.
bool swapUnit(Session &session, int master)
{
    swapRequested = 0; // another SIGUSR1 during the gap swaps again after it
    const size_t next = session.unit + 1;
    std::fprintf(stderr, "kestro-devsim: unit %zu taken off; the next answers in %ld ms\n", next,
                 session.options.swapGapMs);
    size_t dropped = std::exchange(session.dropped, 0);
    if (session.options.swapGapMs > 0 && !dropFor(master, session.options.swapGapMs, dropped))
        return false;
    session.startUnit(next);
    const std::string *stateFile = session.stateFile();
    const std::string kept = stateFile ? "with the state in " + *stateFile
                                       : std::string("a fresh device without a state file");
    std::fprintf(stderr, "kestro-devsim: unit %zu answers, %s (%zu bytes dropped in the gap)\n",
                 next + 1, kept.c_str(), dropped);
    return true;
}

enum class Step { Go, HungUp, Failed };

// Reads what came in and answers it.
Step serveBytes(Session &session, int master, int slave)
{
    uint8_t bytes[4096];
    const ssize_t count = read(master, bytes, std::min(sizeof bytes, session.inbound.chunk()));
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return Step::Go;
    if (count <= 0) {
        std::fprintf(stderr, "kestro-devsim: the port was closed: %s\n",
                     count < 0 ? std::strerror(errno) : "end of file");
        return Step::Failed;
    }
    session.inbound.cross(size_t(count));
    if (!take(session, master, bytes, size_t(count)))
        return Step::Go;
    waitUntilTaken(slave);
    std::fprintf(stderr, "kestro-devsim: hanging up after %ld responses\n", session.answered);
    return Step::HungUp;
}

} // namespace

int serve(int master, int slave, const Options &options, const std::vector<DeviceConfig> &units)
{
    Session session(options, units);
    session.startUnit(0);
    while (!stopRequested) {
        if (swapRequested && !swapUnit(session, master))
            return 1;
        const int ready = waitReadable(master, -1, true);
        if (ready < 0) {
            std::fprintf(stderr, "kestro-devsim: poll failed: %s\n", std::strerror(errno));
            return 1;
        }
        const Step step = ready > 0 ? serveBytes(session, master, slave) : Step::Go;
        if (step != Step::Go)
            return step == Step::HungUp ? 0 : 1;
    }
    return 0;
}

} // namespace devsim
