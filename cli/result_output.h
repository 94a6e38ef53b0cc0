// Where a command's results go when -o names a place: standard output for
// "-" (or a path that is standard output), a stream such as a FIFO or a
// character device written as it is, or a regular file replaced whole. A
// stream is never replaced, renamed or deleted.
#ifndef CLI_RESULT_OUTPUT_H
#define CLI_RESULT_OUTPUT_H

#include <QFile>
#include <QSaveFile>
#include <QString>

class ResultOutput
{
public:
    explicit ResultOutput(const QString &path);

    // Opens the target before the device is asked, so that a place that
    // cannot be written costs no exchange. A file that will hold the
    // passwords is for its owner's eyes only. False after saying why.
    bool open(bool withSecrets);
    // Writes the results and closes the target; false after saying why.
    bool deliver(const QByteArray &results);

private:
    enum class Kind { StandardOutput, Stream, File };

    bool failed(const QString &error) const;

    QString path_;
    Kind kind_;
    QFile stream_;
    QSaveFile file_;
};

#endif // CLI_RESULT_OUTPUT_H
