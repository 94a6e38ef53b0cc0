// Start-up: from process start to the window shown, and the resident memory
// then.
//
// The benchmark starts copies of itself. A start-up child does what the
// tool's main does (high-DPI settings, the application object, the window,
// show) and reports, on its standard output, the monotonic clock readings at
// main's entry, after the application object, after the window and when the
// window is exposed, with its resident memory. A trivial child reports main's
// entry and returns: what starting a process that links the tool's libraries
// costs before any of its code runs. The parent reads the clock just before
// it starts a child, so each figure counts from the true process start.
// Both children share the steady clock (CLOCK_MONOTONIC) with the parent.
#include "bench/bench_support.h"

#include <QApplication>
#include <QGuiApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using namespace bench;

constexpr int kRuns = 20;

long long nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

int trivialChild(long long mainEntry)
{
    std::printf("%lld\n", mainEntry);
    return 0;
}

int startupChild(int argc, char **argv, long long mainEntry)
{
    // As the tool's main: both settings before the application object.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication application(argc, argv);
    const long long appReady = nowNs();
    MainWindow window;
    const long long windowReady = nowNs();
    waitExposed(window);
    const long long shown = nowNs();
    std::printf("%lld %lld %lld %lld %ld\n", mainEntry, appReady, windowReady, shown, residentKb());
    std::fflush(stdout);
    return 0;
}

// Starts this program with `mode`; answers the clock reading just before the
// start and the child's one line of output.
long long runChild(const char *self, const char *mode, std::string &output)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    char *const args[] = {const_cast<char *>(self), const_cast<char *>(mode), nullptr};

    pid_t pid = 0;
    const long long start = nowNs();
    if (posix_spawn(&pid, self, &actions, nullptr, args, environ) != 0)
        fail("cannot start the child");
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);

    output.clear();
    char chunk[256];
    ssize_t n = 0;
    while ((n = read(pipeFds[0], chunk, sizeof chunk)) > 0)
        output.append(chunk, size_t(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(std::string("the child failed: ") + mode);
    return start;
}

} // namespace

int main(int argc, char **argv)
{
    const long long mainEntry = nowNs();
    if (argc == 2 && std::strcmp(argv[1], "--trivial-child") == 0)
        return trivialChild(mainEntry);
    if (argc == 2 && std::strcmp(argv[1], "--startup-child") == 0)
        return startupChild(argc, argv, mainEntry);

    useOffscreenPlatform();
    // The tool as installed: no extra ports.
    unsetenv("KESTRO_EXTRA_PORTS");

    const std::string self = "/proc/self/exe";
    char selfPath[4096];
    const ssize_t length = readlink(self.c_str(), selfPath, sizeof selfPath - 1);
    if (length <= 0)
        fail("cannot find this program");
    selfPath[length] = '\0';

    const auto ms = [](long long from, long long to) { return double(to - from) / 1e6; };
    std::vector<double> execToMain;
    std::vector<double> startToShown;
    std::vector<double> startToMain;
    std::vector<double> application;
    std::vector<double> window;
    std::vector<double> showing;
    std::vector<double> residentMb;
    std::string output;
    // One unmeasured round of each first: the page cache, not the tool.
    for (int run = -1; run < kRuns; ++run) {
        long long start = runChild(selfPath, "--trivial-child", output);
        long long entry = 0;
        if (std::sscanf(output.c_str(), "%lld", &entry) != 1)
            fail("the trivial child said nothing");
        if (run >= 0)
            execToMain.push_back(ms(start, entry));

        start = runChild(selfPath, "--startup-child", output);
        long long appReady = 0;
        long long windowReady = 0;
        long long shown = 0;
        long rssKb = 0;
        if (std::sscanf(output.c_str(), "%lld %lld %lld %lld %ld", &entry, &appReady, &windowReady,
                        &shown, &rssKb) != 5)
            fail("the start-up child said nothing");
        if (run < 0)
            continue;
        startToShown.push_back(ms(start, shown));
        startToMain.push_back(ms(start, entry));
        application.push_back(ms(entry, appReady));
        window.push_back(ms(appReady, windowReady));
        showing.push_back(ms(windowReady, shown));
        residentMb.push_back(double(rssKb) / 1024.0);
    }

    const std::string runs = "median of " + std::to_string(kRuns) + " processes";
    const double total = median(startToShown);
    report("startup.process_start_to_window_shown", total, "ms",
           runs + "; target < 300 ms: " + (total < 300.0 ? "met" : "MISSED"));
    report("startup.part.process_start_to_main", median(startToMain), "ms",
           runs + "; loading the program and its libraries");
    report("startup.part.application_object", median(application), "ms",
           runs + "; QApplication with the offscreen platform");
    report("startup.part.main_window", median(window), "ms", runs + "; MainWindow constructor");
    report("startup.part.show_to_exposed", median(showing), "ms", runs + "; show until exposed");
    report("startup.trivial_process_start_to_main", median(execToMain), "ms",
           runs + "; a program linking the tool's code that returns at once");
    report("startup.resident_memory_when_shown", median(residentMb), "MB", runs + "; VmRSS");
    return 0;
}
