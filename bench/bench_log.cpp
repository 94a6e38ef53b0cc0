// Log growth: what one more entry costs as the activity log grows, and what a
// window resize costs, which measures every entry again.
//
// Two kinds of entry: a short result line, and the hex dump of the largest
// frame (an 8198-byte message whose every byte is escaped: 16403 wire bytes,
// about 49,000 characters). The window is shown offscreen and its port is a
// pseudo-terminal, so the log's column exists as after a real port choice.
//
// The cost of the N-th entry is the median over the ten entries N-5..N+4, for
// the appendLog call alone and for the call together with the event loop turn
// that follows it (layout and painting). A resize is timed from the resize
// request until the window has handled it and painted.
#include "bench/bench_support.h"

#include <QHeaderView>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using namespace bench;
using Probe = MainWindowProbe;

const int kProbePoints[] = {10, 1000, 10000};
const int kResizePoints[] = {100, 1000, 10000};
constexpr int kLastEntry = 10004;

QString dumpEntry()
{
    // Every wire byte after the start byte is an escape pair, the densest dump
    // a frame of the largest message gives.
    std::mt19937 rng(8198);
    std::vector<uint8_t> wire;
    wire.push_back(0xFE);
    const uint8_t special[] = {0xC0, 0xFD, 0xFE};
    while (wire.size() < 16403) {
        wire.push_back(0xFD);
        wire.push_back(uint8_t(special[rng() % 3] ^ 0x20));
    }
    wire.resize(16403);
    return hexDumpEntry(QStringLiteral("\r\nRead %0 bytes:"), wire.data(), uint16_t(wire.size()));
}

struct Sample {
    double append = 0.0;
    double withLoop = 0.0;
};

void runKind(const char *kind, const QString &entry)
{
    WindowOnPty link;
    MainWindow &window = *link.window;
    std::vector<Sample> samples(size_t(kLastEntry) + 1);
    QTableWidget *log = link.ui().logTableWidget;
    int width = window.width();

    const auto inProbeWindow = [](int n) {
        for (int point : kProbePoints) {
            if (n >= point - 5 && n <= point + 4)
                return true;
        }
        return false;
    };

    for (int n = link.logRows() + 1; n <= kLastEntry; ++n) {
        // Between the probe windows the loop runs only now and then: painting
        // every dump entry would make the run minutes long.
        const bool timed = inProbeWindow(n);
        if (timed && !inProbeWindow(n - 1))
            settle();
        const Clock::time_point t0 = Clock::now();
        Probe::appendLog(window, entry);
        const Clock::time_point t1 = Clock::now();
        if (timed || n % 100 == 0)
            QCoreApplication::processEvents();
        samples[size_t(n)] = {msSince(t0, t1), msSince(t0)};
        if (log->rowCount() != n)
            fail("the log did not grow by one entry");

        if (std::find(std::begin(kResizePoints), std::end(kResizePoints), n) ==
            std::end(kResizePoints))
            continue;
        settle();
        // Three resizes, or fewer when each takes seconds.
        std::vector<double> times;
        double total = 0.0;
        for (int i = 0; i < 3 && total < 2000.0; ++i) {
            width += i % 2 ? -40 : 40;
            const Clock::time_point r0 = Clock::now();
            window.resize(width, window.height());
            if (!spinUntil(
                    [&] { return log->horizontalHeader()->defaultSectionSize() == width - 37; },
                    600000))
                fail("the resize was not handled");
            QCoreApplication::processEvents();
            times.push_back(msSince(r0));
            total += times.back();
        }
        report(std::string("log.") + kind + ".resize_with_" + std::to_string(n), median(times),
               "ms",
               "median of " + std::to_string(times.size()) +
                   " resize(s); every entry is measured again");
    }

    double tenth[2] = {0.0, 0.0};
    for (int n : kProbePoints) {
        std::vector<double> append;
        std::vector<double> withLoop;
        for (int k = n - 5; k <= n + 4; ++k) {
            append.push_back(samples[size_t(k)].append);
            withLoop.push_back(samples[size_t(k)].withLoop);
        }
        const double a = median(append);
        const double l = median(withLoop);
        std::string noteA;
        std::string noteL;
        if (n == 10) {
            tenth[0] = a;
            tenth[1] = l;
            noteA = noteL = "the reference for the later entries";
        } else {
            char text[120];
            std::snprintf(
                text, sizeof text, "%.2fx the 10th%s", a / tenth[0],
                n == 10000 ? (a <= 2 * tenth[0] ? "; target <= 2x: met" : "; target <= 2x: MISSED")
                           : "");
            noteA = text;
            std::snprintf(text, sizeof text, "%.2fx the 10th", l / tenth[1]);
            noteL = text;
        }
        report(std::string("log.") + kind + ".append_entry_" + std::to_string(n), a, "ms", noteA);
        report(std::string("log.") + kind + ".append_and_event_loop_entry_" + std::to_string(n), l,
               "ms", noteL);
    }
}

} // namespace

int main(int argc, char **argv)
{
    useOffscreenPlatform();
    QApplication application(argc, argv);
    runKind("short_line", QStringLiteral("Ping returned 0"));
    runKind("dump_16403_bytes", dumpEntry());
    return 0;
}
