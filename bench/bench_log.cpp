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
// that follows it (layout and painting).
//
// A resize answers at once and measures the rows away from the view on later
// event-loop turns. Timed from the resize request: until the window handled
// it (the return to the event loop), until it handled it and painted, and
// until every row is measured and painted; beside these the longest
// event-loop turn in that time, and for comparison the former resize: every
// row measured in one call (resizeRowsToContents), then the window painted.
// The two are compared by their fastest runs, on the wall clock and in
// processor time: other programs on a shared machine slow either at times.
#include "app/log_remeasurer.h"
#include "bench/bench_support.h"

#include <QHeaderView>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

namespace {

using namespace bench;

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

// The process's processor time in ms. Unlike the wall clock it does not grow
// while other programs have the processor, so it compares two ways of doing
// the same work fairly on a shared machine.
double cpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

struct Sample {
    double append = 0.0;
    double withLoop = 0.0;
};

struct SinglePass {
    double call = 0.0;
    double painted = 0.0;
    double cpu = 0.0;
};

struct ResizeTimes {
    double returned = 0.0;
    double painted = 0.0;
    double allMeasured = 0.0;
    // Less the first turn after the resize, which only paints (the window's own
    // cost of a resize, the same before): the re-measuring alone.
    double work = 0.0;
    double workCpu = 0.0;
    // The longest turn by the wall clock, which includes any time other
    // programs had the processor, and by processor time.
    double longestTurn = 0.0;
    double longestTurnCpu = 0.0;
};

// Resizes the shown window to `width` and runs the event loop until every row
// is measured.
ResizeTimes timeResize(MainWindow &window, int width)
{
    QTableWidget *log = Probe::ui(window).logTableWidget;
    const LogRemeasurer *remeasurer = window.findChild<LogRemeasurer *>();
    ResizeTimes times;
    const double cpuStart = cpuMs();
    const Clock::time_point start = Clock::now();
    window.resize(width, window.height());
    // A shown window handles the resize inside the call; should it come as an
    // event instead, the turn that handles it counts.
    while (log->horizontalHeader()->defaultSectionSize() != width - 37) {
        if (msSince(start) > 600000)
            fail("the resize was not handled");
        QCoreApplication::processEvents();
    }
    times.returned = times.longestTurn = msSince(start);
    times.longestTurnCpu = cpuMs() - cpuStart;
    double paintTurn = 0.0;
    double paintTurnCpu = 0.0;
    for (int turn = 0; turn == 0 || remeasurer->isBusy(); ++turn) {
        const double turnCpu = cpuMs();
        const Clock::time_point turnStart = Clock::now();
        QCoreApplication::processEvents();
        times.longestTurn = std::max(times.longestTurn, msSince(turnStart));
        times.longestTurnCpu = std::max(times.longestTurnCpu, cpuMs() - turnCpu);
        if (turn == 0) {
            times.painted = msSince(start);
            paintTurn = msSince(turnStart);
            paintTurnCpu = cpuMs() - turnCpu;
        }
    }
    // Until every row is measured and what that changed is painted.
    times.allMeasured = msSince(start, settle());
    times.work = times.allMeasured - paintTurn;
    times.workCpu = cpuMs() - cpuStart - paintTurnCpu;
    return times;
}

// The former resize, less the window's layout: the column width set, every row
// measured in one call and the whole window painted again.
SinglePass timeSinglePass(MainWindow &window, int column)
{
    QTableWidget *log = Probe::ui(window).logTableWidget;
    const double cpuStart = cpuMs();
    const Clock::time_point start = Clock::now();
    log->horizontalHeader()->setDefaultSectionSize(column);
    log->resizeRowsToContents();
    const double call = msSince(start);
    window.update();
    const double painted = msSince(start, settle());
    return {call, painted, cpuMs() - cpuStart};
}

struct ResizeSeries {
    std::vector<double> returned;
    std::vector<double> painted;
    std::vector<double> allMeasured;
    std::vector<double> work;
    std::vector<double> workCpu;
    std::vector<double> singlePass;
    std::vector<double> singleCall;
    std::vector<double> singleCpu;
    double longestTurn = 0.0;
    double longestTurnCpu = 0.0;
};

void reportResizes(const std::string &prefix, int n, const ResizeSeries &series, bool targeted)
{
    const auto name = [&](const char *what) { return prefix + what + std::to_string(n); };
    const std::string of = "median of " + std::to_string(series.returned.size()) + " resize(s)";
    const double returned = median(series.returned);
    const double all = median(series.allMeasured);
    const double single = median(series.singlePass);
    // The fastest run of each way is the one least disturbed by other programs.
    const auto fastest = [](const std::vector<double> &v) {
        return *std::min_element(v.begin(), v.end());
    };
    const double work = fastest(series.work);
    const double cpu = fastest(series.workCpu);
    const double singleCpu = fastest(series.singleCpu);
    char ratio[200];
    std::snprintf(ratio, sizeof ratio,
                  "fastest runs: measuring alone %.1f ms = %.2fx the single pass's, processor "
                  "time %.1f ms = %.2fx the single pass's",
                  work, work / fastest(series.singlePass), cpu, cpu / singleCpu);

    report(name("resize_with_"), median(series.painted), "ms", of + ", until handled and painted");
    report(name("resize_return_"), returned, "ms",
           of + ", until the return to the event loop" +
               (targeted ? "; target <= 50 ms: " + verdict(returned <= 50.0) : ""));
    report(name("resize_all_rows_measured_"), all, "ms",
           of + "; " + ratio + "; target <= 1x: " + verdict(cpu <= singleCpu));
    char cpuTurn[80];
    std::snprintf(cpuTurn, sizeof cpuTurn, "; by processor time %.1f ms", series.longestTurnCpu);
    report(name("resize_longest_turn_"), series.longestTurn, "ms",
           "of all resizes, wall clock" + std::string(cpuTurn) +
               "; target <= 50 ms: " + verdict(series.longestTurn <= 50.0));
    char call[120];
    std::snprintf(call, sizeof call, " (the call alone %.1f ms, processor time %.1f ms)",
                  median(series.singleCall), median(series.singleCpu));
    report(name("single_pass_"), single, "ms",
           "median of " + std::to_string(series.singlePass.size()) +
               " former resizes: every row measured in one call, then painted" + call);
}

// Three resizes, or fewer when each takes many seconds, each followed by the
// former resize back to the width before and to the new width again, so that
// the two ways alternate on a machine whose load changes; returns the last
// width.
int measureResizes(const char *kind, int n, MainWindow &window, int width)
{
    ResizeSeries series;
    double total = 0.0;
    settle();
    for (int i = 0; i < 3 && total < 10000.0; ++i) {
        const int before = width;
        width += i % 2 ? -40 : 40;
        const ResizeTimes times = timeResize(window, width);
        series.returned.push_back(times.returned);
        series.painted.push_back(times.painted);
        series.allMeasured.push_back(times.allMeasured);
        series.work.push_back(times.work);
        series.workCpu.push_back(times.workCpu);
        series.longestTurn = std::max(series.longestTurn, times.longestTurn);
        series.longestTurnCpu = std::max(series.longestTurnCpu, times.longestTurnCpu);
        for (int column : {before - 37, width - 37}) {
            const SinglePass pass = timeSinglePass(window, column);
            series.singleCall.push_back(pass.call);
            series.singlePass.push_back(pass.painted);
            series.singleCpu.push_back(pass.cpu);
        }
        total += times.allMeasured + series.singlePass.back();
    }
    const bool targeted = n == 10000 && std::strstr(kind, "dump");
    reportResizes(std::string("log.") + kind + ".", n, series, targeted);
    return width;
}

void runKind(const char *kind, const QString &entry)
{
    PickedWindow link;
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
        width = measureResizes(kind, n, window, width);
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
