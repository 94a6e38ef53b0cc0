#include "tests/support/raw_pty.h"

#include <QCoreApplication>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Raw, so that nothing is echoed or translated on the way.
bool makeRaw(int fd)
{
    termios raw;
    if (tcgetattr(fd, &raw) != 0)
        return false;
    cfmakeraw(&raw);
    return tcsetattr(fd, TCSANOW, &raw) == 0;
}

} // namespace

size_t writeAvailable(int fd, const void *bytes, size_t count)
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

QByteArray readAtLeast(int fd, int atLeast, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    QByteArray bytes;
    for (;;) {
        char chunk[65536];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, int(n));
            continue;
        }
        if (bytes.size() >= atLeast || Clock::now() > deadline)
            return bytes;
        pollfd waiting{fd, POLLIN, 0};
        poll(&waiting, 1, 10);
    }
}

int openRaw(const QString &path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 && !makeRaw(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

RawPty::RawPty(FailureHandler onFailure) : onFailure_(std::move(onFailure))
{
    if (!open())
        onFailure_(QStringLiteral("cannot open a pseudo-terminal: ") +
                   QString::fromLocal8Bit(std::strerror(errno != 0 ? errno : EIO)));
}

RawPty::~RawPty()
{
    closeMaster();
    if (slave_ >= 0)
        close(slave_);
}

bool RawPty::open()
{
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0 || !makeRaw(slave_))
        return false;
    const int flags = fcntl(master_, F_GETFL);
    const char *name = ttyname(slave_);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0 || !name)
        return false;
    path_ = QString::fromLocal8Bit(name);
    return true;
}

bool RawPty::write(const uint8_t *bytes, size_t count)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(kPatienceMs);
    for (;;) {
        const size_t n = writeAvailable(master_, bytes, count);
        bytes += n;
        count -= n;
        if (count == 0)
            return true;
        if (Clock::now() > deadline)
            break;
        // The terminal is full until the window reads.
        QCoreApplication::processEvents();
        pollfd room{master_, POLLOUT, 0};
        poll(&room, 1, 1);
    }
    onFailure_(QStringLiteral("the device side could not write its bytes"));
    return false;
}

void RawPty::closeMaster()
{
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}
