// Finding the port that -p names and claiming it for this program alone,
// before a byte is written to it.
#ifndef DEVICE_PORT_CLAIM_H
#define DEVICE_PORT_CLAIM_H

#include <QString>

enum class PortState {
    Claimed,   // a terminal, now locked for this program
    Absent,    // not there (yet): worth waiting for
    Busy,      // in use by another program: worth waiting for
    NotSerial, // there, but no terminal: waiting will not help
    Refused,   // permission denied, or another lasting fault
};

// Whether the port may still come free or appear while --wait-port lasts.
inline bool worthWaiting(PortState state)
{
    return state == PortState::Absent || state == PortState::Busy;
}

// The lock that keeps a second program (root included, which a terminal's
// exclusive mode does not stop) off the port while this one uses it. It is
// taken on the port's real path, so a symbolic link and its target are one
// port. Released when the claim ends.
class PortClaim
{
public:
    explicit PortClaim(const QString &name) : name_(name) {}
    ~PortClaim() { release(); }
    PortClaim(const PortClaim &) = delete;
    PortClaim &operator=(const PortClaim &) = delete;

    // Looks at the port and locks it if it is a terminal that no other
    // program holds; otherwise says why not in `problem`.
    PortState claim(QString &problem);
    void release();

    // The real path of the port claimed: the one to open.
    const QString &path() const { return path_; }
    // Why the last claim failed, without the port's name ("in use by another
    // program", "not a serial port" or the system's words), for a line that
    // names the port itself.
    const QString &reason() const { return reason_; }

private:
    PortState lock(int fd, QString &problem);
    PortState refuse(PortState state, const QString &reason, const QString &problem, QString &told);
    PortState openFailed(int error, const QString &given, QString &problem);

    QString name_;
    QString path_;
    QString reason_;
    int fd_ = -1;
};

#endif // DEVICE_PORT_CLAIM_H
