// Resident memory after start-up and after 10,000 Ping exchanges through a
// pseudo-terminal whose master end plays the device. Each exchange is a
// click on Ping, the request read at the device end, the 12-byte response
// written back and the window's report of it: four log entries. The log has
// no size limit, so it accounts for what grows.
#include "bench/bench_support.h"
#include "tests/support/wire_bytes.h"

#include <QPushButton>

namespace {

using namespace bench;

constexpr int kExchanges = 10000;

} // namespace

int main(int argc, char **argv)
{
    useOffscreenPlatform();
    QApplication application(argc, argv);
    PickedWindow link;
    settle();
    const long before = residentKb();

    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kExchanges; ++i) {
        const int rows = link.logRows();
        link.ui().pingButton->click();
        if (link.pty.read(kPingRequestFrame.size()) != kPingRequestFrame)
            fail("unexpected Ping request");
        link.pty.write(kPingOkFrame);
        if (!spinUntil([&] { return link.logRows() == rows + 4; }) ||
            link.logLine(rows + 3) != QLatin1String("Ping returned 0"))
            fail("the Ping response was not reported");
        if (i % 100 == 99)
            settle();
    }
    settle();
    const double elapsed = msSince(start);
    const long after = residentKb();

    const auto mb = [](long kb) { return double(kb) / 1024.0; };
    report("memory.resident_after_startup_and_port", mb(before), "MB",
           "VmRSS, window shown offscreen, terminal picked");
    report("memory.resident_after_10000_pings", mb(after), "MB",
           "VmRSS; the log then holds " + std::to_string(link.logRows()) + " entries");
    report("memory.growth_per_ping_exchange", double(after - before) * 1024.0 / kExchanges, "B",
           "four log entries each; the log is never trimmed");
    report("memory.ping_exchange_round_trip", elapsed / kExchanges, "ms",
           "mean, click to reported, device answering at once");
    return 0;
}
