// Shared pieces of the window benchmarks: a pseudo-terminal whose master end
// plays the device, a window with that terminal picked as its port, waiting on
// conditions while the event loop runs, medians, resident memory, and the
// one-line report.
#ifndef BENCH_BENCH_SUPPORT_H
#define BENCH_BENCH_SUPPORT_H

#include "tests/support/main_window_probe.h"
#include "tests/support/raw_pty.h"

#include <QApplication>
#include <QByteArray>
#include <QComboBox>
#include <QCoreApplication>
#include <QTableWidget>
#include <QWindow>

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

// The process's resident memory (VmRSS) in kB; -1 if it cannot be read.
inline long residentKb()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1)
            break;
    }
    std::fclose(status);
    return kb;
}

// Runs the event loop until `done` answers true; false after `timeoutMs`.
// Spins without blocking, so that the moment of completion is seen at once.
inline bool spinUntil(const std::function<bool()> &done, double timeoutMs = 10000)
{
    const Clock::time_point start = Clock::now();
    while (!done()) {
        if (msSince(start) > timeoutMs)
            return false;
        QCoreApplication::processEvents();
    }
    return true;
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

// The terminal whose master end plays the device; the benchmark fails where
// the terminal cannot do its part.
class Pty
{
public:
    Pty()
    {
        if (!raw_.isOpen())
            fail(std::string("cannot open a pseudo-terminal: ") + std::strerror(raw_.openError()));
    }

    const std::string &path() const { return raw_.path(); }

    // Writes every byte; while the terminal is full the window reads on.
    void write(const uint8_t *bytes, size_t count)
    {
        if (!writeAll(raw_.master(), bytes, count, 10000,
                      [] { QCoreApplication::processEvents(); }))
            fail("the device side could not write its bytes");
    }
    void write(const QByteArray &bytes)
    {
        write(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    }

    // Reads what the window wrote until at least `atLeast` bytes came.
    QByteArray read(int atLeast)
    {
        std::string bytes;
        if (!readAtLeast(raw_.master(), bytes, size_t(atLeast), 10000))
            fail("the window's request did not arrive");
        return QByteArray::fromStdString(bytes);
    }

private:
    RawPty raw_;
};

inline void useOffscreenPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

inline void waitExposed(QWidget &window)
{
    window.show();
    if (!spinUntil(
            [&window] { return window.windowHandle() && window.windowHandle()->isExposed(); }))
        fail("the window was not exposed");
}

// A shown window whose port is the terminal's slave, picked in the selector as
// a user would.
struct WindowOnPty {
    Pty pty;
    std::unique_ptr<MainWindow> window;

    WindowOnPty()
    {
        qputenv("KESTRO_EXTRA_PORTS", QByteArray::fromStdString(pty.path()));
        window.reset(new MainWindow);
        waitExposed(*window);
        QComboBox *selector = ui().serialPortComboBox;
        const int index = selector->findText(QString::fromStdString(pty.path()));
        if (index < 0)
            fail("the terminal is missing from the port selector");
        selector->setCurrentIndex(index);
        if (!MainWindowProbe::serialPort(*window))
            fail("the terminal did not open");
    }

    WindowWidgets ui() { return MainWindowProbe::ui(*window); }
    int logRows() { return ui().logTableWidget->rowCount(); }
    QString logLine(int row)
    {
        const QTableWidgetItem *item = ui().logTableWidget->item(row, 0);
        return item ? item->text() : QString();
    }
};

} // namespace bench

#endif // BENCH_BENCH_SUPPORT_H
