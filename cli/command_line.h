// kestroctl's command line: the command, its file and every option, checked
// before anything touches a port or a file.
#ifndef CLI_COMMAND_LINE_H
#define CLI_COMMAND_LINE_H

#include <QString>
#include <QStringList>

struct Invocation {
    QString command;   // one of the command table's names (cli/commands.h)
    QString file;      // write, diff, upload-cert: the input file; station: the manifest
    QString port;      // -p, else $KESTRO_PORT
    QStringList ports; // station: every -p, in the order given, else $KESTRO_PORT
    int timeoutMs = 2000;
    int retries = 2;
    int waitPortSeconds = 0;
    bool trace = false;
    QStringList setPairs; // KEY=VALUE, in the order given
    bool omitSecrets = false;
    QString outputFile; // read -o
    bool dryRun = false;
    bool noVerify = false;
    QString profileFile;     // station --profile
    QString certificateFile; // station --certificate
    QString journalFile;     // station --journal; empty: the manifest's path + ".journal"
    bool showSecrets = false;
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
