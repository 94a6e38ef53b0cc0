// A pseudo-terminal for the tests, benchmarks and fuzz targets that play the
// device: the window opens the slave by its path, the caller reads and writes
// the master raw and without blocking.
#ifndef TESTS_SUPPORT_RAW_PTY_H
#define TESTS_SUPPORT_RAW_PTY_H

#include "tests/support/wait_until.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>

// What a fixture does when a step the rest of the run depends on fails: a
// QtTest program fails the test function, a benchmark or a fuzz target ends.
using FailureHandler = std::function<void(const QString &why)>;

// Writes to the non-blocking `fd` what it takes now; answers how many bytes.
size_t writeAvailable(int fd, const void *bytes, size_t count);

// What the non-blocking `fd` has, after waiting up to `timeoutMs` for at least
// `atLeast` bytes (fewer are the caller's to judge); with `atLeast` 0, what
// is there now.
QByteArray readAtLeast(int fd, int atLeast, int timeoutMs);

// Opens the terminal at `path` raw and without blocking, as the tool opens
// its port; -1 if it cannot.
int openRaw(const QString &path);

class RawPty
{
public:
    // `onFailure` hears of an opening or a write that failed.
    explicit RawPty(FailureHandler onFailure);
    ~RawPty();
    RawPty(const RawPty &) = delete;
    RawPty &operator=(const RawPty &) = delete;

    // The slave's path, which the window opens.
    const QString &path() const { return path_; }
    int master() const { return master_; }

    // Plays the device's side: writes every byte, letting the window read
    // whenever the terminal's buffer is full.
    bool write(const uint8_t *bytes, size_t count);
    bool write(const QByteArray &bytes)
    {
        return write(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    }

    // What the window has written so far, after waiting up to the patience
    // limit for at least `atLeast` bytes; fewer are the caller's to judge.
    QByteArray read(int atLeast = 1) { return readAtLeast(master_, atLeast, kPatienceMs); }
    // What the window has written and nobody read yet, without waiting.
    QByteArray pending() { return read(0); }

    // The device's end goes away, as when the adapter is unplugged.
    void closeMaster();

private:
    bool open();

    FailureHandler onFailure_;
    int master_ = -1;
    int slave_ = -1;
    QString path_;
};

#endif // TESTS_SUPPORT_RAW_PTY_H
