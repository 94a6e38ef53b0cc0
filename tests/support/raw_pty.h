// A pseudo-terminal for the tests, benchmarks and fuzz targets that play the
// device: the window opens the slave by its path, the caller reads and writes
// the master raw and without blocking. Nothing here fails a run: each step
// answers whether it succeeded, and each caller fails in its own way.
#ifndef TESTS_SUPPORT_RAW_PTY_H
#define TESTS_SUPPORT_RAW_PTY_H

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

class RawPty
{
public:
    RawPty()
    {
        if (!open())
            openError_ = errno != 0 ? errno : EIO;
    }
    ~RawPty()
    {
        closeMaster();
        if (slave_ >= 0)
            close(slave_);
    }
    RawPty(const RawPty &) = delete;
    RawPty &operator=(const RawPty &) = delete;

    bool isOpen() const { return openError_ == 0; }
    // The errno of the failed opening; 0 once the pair is open.
    int openError() const { return openError_; }

    const std::string &path() const { return path_; }
    int master() const { return master_; }

    // The device's end goes away, as when the adapter is unplugged.
    void closeMaster()
    {
        if (master_ >= 0)
            close(master_);
        master_ = -1;
    }

private:
    bool open()
    {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
            return false;
        // Raw, so that nothing is echoed or translated before the window sets
        // its own line settings.
        termios raw;
        if (tcgetattr(slave_, &raw) != 0)
            return false;
        cfmakeraw(&raw);
        if (tcsetattr(slave_, TCSANOW, &raw) != 0)
            return false;
        const int flags = fcntl(master_, F_GETFL);
        if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
            return false;
        const char *name = ttyname(slave_);
        if (!name)
            return false;
        path_ = name;
        return true;
    }

    int master_ = -1;
    int slave_ = -1;
    int openError_ = 0;
    std::string path_;
};

// Writes to the non-blocking `fd` what it takes now; answers how many bytes.
inline size_t writeAvailable(int fd, const void *bytes, size_t count)
{
    const char *from = static_cast<const char *>(bytes);
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, from + done, count - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    return done;
}

// Writes all `count` bytes to the non-blocking `fd`, running `whileFull`
// whenever it takes no more (so that the reader at the other end can drain
// it); false if `timeoutMs` passed before the last byte went out.
[[nodiscard]] inline bool writeAll(int fd, const void *bytes, size_t count, int timeoutMs,
                                   const std::function<void()> &whileFull)
{
    const char *from = static_cast<const char *>(bytes);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t n = writeAvailable(fd, from, count);
        from += n;
        count -= n;
        if (count == 0)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        whileFull();
    }
}

// Appends what the non-blocking `fd` has to `into`, waiting until `into`
// holds at least `atLeast` bytes; false if `timeoutMs` passed first. With
// `atLeast` 0, takes what is there without waiting.
[[nodiscard]] inline bool readAtLeast(int fd, std::string &into, size_t atLeast, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        char chunk[65536];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            into.append(chunk, size_t(n));
            continue;
        }
        if (into.size() >= atLeast)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        pollfd waiting{fd, POLLIN, 0};
        poll(&waiting, 1, 10);
    }
}

#endif // TESTS_SUPPORT_RAW_PTY_H
