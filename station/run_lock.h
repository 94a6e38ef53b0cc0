// A file that one station owns for its run, its manifest or its journal: an
// exclusive lock on the file itself, so that a second station is refused
// whichever name (a link, a relative path) it gives the file by. Stations on
// other machines, with copies of the files, are beyond its reach.
#ifndef STATION_RUN_LOCK_H
#define STATION_RUN_LOCK_H

#include <QString>

#include <sys/types.h>

class RunLock
{
public:
    enum class Result {
        Locked,     // this run's until the lock goes
        InUse,      // another station holds it
        NotRegular, // a FIFO, a device, a folder: never a station's file
        Failed,     // the system's words are in `problem`
    };

    RunLock() = default;
    ~RunLock();
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    // Opens `path` without blocking and locks it. With a `createMode`, a
    // file that is not there is made with that mode. `problem` says why not,
    // naming the file as given ("units.csv is in use by another station
    // (pid 4242)").
    Result lock(const QString &path, mode_t createMode, QString &problem);
    // Whether others than the owner may read the locked file.
    bool othersMayRead() const;

private:
    Result refuse(Result result, const QString &problem, QString &told);

    int fd_ = -1;
};

#endif // STATION_RUN_LOCK_H
