// kestroctl's command line: the command, its file and every option, checked
// before anything touches a port or a file.
#ifndef CLI_COMMAND_LINE_H
#define CLI_COMMAND_LINE_H

#include "link/device_link.h"

#include <QString>
#include <QStringList>

// The command and its values; the link's settings (-p, -t, -r, --wait-port,
// --trace) are what a DeviceLink is made from.
struct Invocation : LinkSettings {
    QString command;      // one of the command table's names (cli/commands.h), "line import"
    QString file;         // write, diff, check and upload-cert: the input file
    QStringList ports;    // station: every -p, in the order given, else $KESTRO_PORT
    QStringList setPairs; // KEY=VALUE, in the order given
    bool omitSecrets = false;
    QString outputFile; // read -o
    bool dryRun = false;
    bool noVerify = false;
    bool showSecrets = false; // write, diff, station: passwords in clear text
    bool json = false;        // ports
    QString profileFile;      // station --profile
    QString certificateFile;  // station --certificate
    QString journalFile;      // station --journal; empty: the manifest's path + ".journal"
    int rowTries = 3;         // station --row-tries
    QString database;         // line --db: a libpq connection string; empty: PG* variables
    QString stationRole;      // line init --station-role
    QString viewerRole;       // line init --viewer-role
    QString batch;            // line, station --batch
    QString stationName;      // station --station; empty: the host name
    int leaseSeconds = 30;    // station --lease
    int releaseRow = 0;       // station --release, line release --row; 0: none
    QString reason;           // station --release, line release: why the row is freed
    int watchSeconds = 0;     // line status --watch: redraw every so many seconds; 0: once
    bool allowSharedIdentities = false; // line import: host names an open batch holds too
};

enum class ParseOutcome { Run, ShowHelp, ShowVersion, UsageError };

// Parses the arguments (the program's name first). On UsageError, `problem`
// says what is wrong.
ParseOutcome parseCommandLine(const QStringList &arguments, Invocation &invocation,
                              QString &problem);

// The full --help text: usage, commands, options and exit codes.
QString helpText();
// The short usage shown with a usage error.
QString usageText();

#endif // CLI_COMMAND_LINE_H
