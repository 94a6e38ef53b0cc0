// Shared pieces of the window benchmarks: the window with its port picked,
// waiting on conditions while the event loop runs, medians, resident memory,
// and the one-line report.
#ifndef BENCH_BENCH_SUPPORT_H
#define BENCH_BENCH_SUPPORT_H

#include "tests/support/wait_until.h"
#include "tests/support/window_on_pty.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QTableWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point start, Clock::time_point end = Clock::now())
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

[[noreturn]] inline void fail(const std::string &why)
{
    std::fprintf(stderr, "benchmark failed: %s\n", why.c_str());
    std::exit(1);
}

// The handler for the shared fixtures: a step that fails ends the benchmark.
inline void failStep(const QString &why)
{
    fail(why.toStdString());
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(middle), values.end());
    double result = values[middle];
    if (values.size() % 2 == 0) {
        result =
            (result + *std::max_element(values.begin(), values.begin() + std::ptrdiff_t(middle))) /
            2.0;
    }
    return result;
}

// One figure a line: name, value with unit, then what it is measured against.
inline void report(const std::string &name, double value, const char *unit,
                   const std::string &note = std::string())
{
    std::printf("%-58s %12.3f %-3s%s%s\n", name.c_str(), value, unit, note.empty() ? "" : "  ",
                note.c_str());
    std::fflush(stdout);
}

inline std::string verdict(bool met)
{
    return met ? "met" : "MISSED";
}

// A "Vm...:" figure of /proc/PID/status (or "self") in kB; -1 if it cannot
// be read, as once the process is gone.
inline long statusKb(const std::string &pid, const char *field)
{
    FILE *status = std::fopen(("/proc/" + pid + "/status").c_str(), "r");
    if (!status)
        return -1;
    const std::string format = std::string(field) + ": %ld kB";
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, format.c_str(), &kb) == 1)
            break;
    }
    std::fclose(status);
    return kb;
}

// The process's resident memory (VmRSS) in kB; -1 if it cannot be read.
inline long residentKb()
{
    return statusKb("self", "VmRSS");
}

// The peak resident memory (VmHWM) of process `pid` in kB; -1 once it is gone.
inline long peakResidentKb(long long pid)
{
    return statusKb(std::to_string(pid), "VmHWM");
}

// Writes a benchmark's input file whole, or ends the benchmark.
inline void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        fail("cannot write " + path.toStdString());
}

// Writes `units.csv` of `rows` rows into `dir`, each naming the same 8 KiB
// `site.pem`, as a large batch's manifest; answers the manifest's path.
inline QString writeLargeManifest(const QString &dir, int rows)
{
    QByteArray certificate;
    for (int i = 0; i < 8192; ++i)
        certificate.append(char(i * 37 + 11));
    writeBytes(dir + "/site.pem", certificate);
    QByteArray manifest = "unit,hostname,certificate\n";
    for (int i = 0; i < rows; ++i)
        manifest += "B-" + QByteArray::number(i) + ",unit-" + QByteArray::number(i) + ",site.pem\n";
    writeBytes(dir + "/units.csv", manifest);
    return dir + "/units.csv";
}

// Runs the event loop until `done` answers true; false after the patience
// limit. Spins without blocking, so that the moment of completion is seen at
// once.
inline bool spinUntil(const std::function<bool()> &done)
{
    return waitUntil(done, kPatienceMs, Waiting::Spinning);
}

// Runs the event loop until a few turns in a row find nothing left to do
// (deferred layout, painting); answers when the last busy turn ended.
inline Clock::time_point settle()
{
    Clock::time_point busyEnd = Clock::now();
    for (int quiet = 0; quiet < 3;) {
        const Clock::time_point start = Clock::now();
        QCoreApplication::processEvents();
        const Clock::time_point end = Clock::now();
        if (msSince(start, end) < 0.05) {
            ++quiet;
        } else {
            quiet = 0;
            busyEnd = end;
        }
    }
    return busyEnd;
}

inline void useOffscreenPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

inline void waitExposed(QWidget &window)
{
    if (!showExposed(window, kPatienceMs, Waiting::Spinning))
        fail("the window was not exposed");
}

// A shown window whose port is the terminal, picked in the selector as a user
// would; its master end plays the device.
struct PickedWindow : WindowOnPty {
    PickedWindow() : WindowOnPty(failStep) { pickPty(); }
};

} // namespace bench

#endif // BENCH_BENCH_SUPPORT_H
