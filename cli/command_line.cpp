#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"

#include "device/port_permission.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

#include <utility>

namespace {

const char kForms[] =
    "  kestroctl [options] ports [--json]\n"
    "  kestroctl [options] ping\n"
    "  kestroctl [options] read [--omit-secrets] [-o FILE]\n"
    "  kestroctl [options] write FILE [--set KEY=VALUE]... [--dry-run] "
    "[--no-verify] [--show-secrets]\n"
    "  kestroctl [options] diff FILE [--set KEY=VALUE]... [--show-secrets]\n"
    "  kestroctl [options] upload-cert FILE\n"
    "  kestroctl check FILE [--set KEY=VALUE]...\n"
    "  kestroctl [-p PORT]... [options] station MANIFEST [--profile FILE]\n"
    "                     [--certificate FILE] [--journal FILE] [--show-secrets]\n"
    "                     [--row-tries N]\n"
    "  kestroctl station MANIFEST --release ROW --reason TEXT [--journal FILE]\n"
    "  kestroctl [-p PORT]... [options] station --batch NAME [--db CONNINFO]\n"
    "                     [--station NAME] [--lease SECONDS] [--journal FILE] [--show-secrets]\n"
    "  kestroctl line init [--db CONNINFO] [--station-role ROLE] [--viewer-role ROLE]\n"
    "  kestroctl line import MANIFEST --batch NAME [--profile FILE] [--certificate FILE]\n"
    "                     [--allow-shared-identities] [--db CONNINFO]\n"
    "  kestroctl line status [--batch NAME] [--json] [--watch [SECONDS]] [--db CONNINFO]\n"
    "  kestroctl line export --batch NAME [--db CONNINFO]\n"
    "  kestroctl line release --batch NAME --row N --reason TEXT [--db CONNINFO]\n";

const char kCommands[] =
    "Commands:\n"
    "  ports        list the serial ports: the system's, then $KESTRO_EXTRA_PORTS\n"
    "  ping         send a Ping and print the device's status\n"
    "  read         print the device's configuration as JSON\n"
    "  write FILE   apply the keys FILE gives (then the --set pairs), check them with\n"
    "               the tool's rules, send them and read them back\n"
    "  diff FILE    print the keys whose values differ between device and FILE\n"
    "  check FILE   check FILE (then the --set pairs) with the tool's rules; opens\n"
    "               no port. FILE may be - for standard input (also for write, diff)\n"
    "  upload-cert FILE\n"
    "               send FILE (at most 8192 bytes) as the device's certificate\n"
    "  station MANIFEST\n"
    "               commission one unit after another on each -p port, a row of the\n"
    "               CSV file MANIFEST each, and journal every unit; started again,\n"
    "               skips the rows the journal has as passed\n"
    "  line init    create the line's schema in a PostgreSQL database, or bring it up to\n"
    "               date; --station-role grants a role only what a station needs,\n"
    "               --viewer-role one the dashboard's views alone\n"
    "  line import MANIFEST\n"
    "               check MANIFEST as station does and store it as batch NAME, whole;\n"
    "               refused if an open batch holds one of its host names\n"
    "  line status  per batch: rows waiting, leased, passed, set aside; per station:\n"
    "               units passed and failed, units per hour, last seen\n"
    "  line export  every unit tried in batch NAME, as the journal's JSON lines\n"
    "  line release free row N of batch NAME, kept for a unit that is lost, for any\n"
    "               unit (station --release does the same for a manifest's row)\n";

// Options that only some commands take.
struct CommandOption {
    const char *option;
    QStringList commands;
};

const CommandOption kCommandOptions[] = {
    {"omit-secrets", {"read"}},
    {"output", {"read"}},
    {"set", {"write", "diff", "check"}},
    {"dry-run", {"write"}},
    {"no-verify", {"write"}},
    {"json", {"ports", "line status"}},
    {"profile", {"station", "line import"}},
    {"certificate", {"station", "line import"}},
    {"db", {"station", "line init", "line import", "line status", "line export", "line release"}},
    {"station", {"station"}},
    {"lease", {"station"}},
    {"station-role", {"line init"}},
    {"viewer-role", {"line init"}},
    {"batch", {"station", "line import", "line status", "line export", "line release"}},
    {"release", {"station"}},
    {"row", {"line release"}},
    {"watch", {"line status"}},
    {"reason", {"station", "line release"}},
    {"allow-shared-identities", {"line import"}},
    {"journal", {"station"}},
    {"show-secrets", {"write", "diff", "station"}},
    {"row-tries", {"station"}},
    {"wait-port", {"ports", "ping", "read", "write", "diff", "upload-cert"}},
};

// The options of the commands that talk to a device.
QList<QCommandLineOption> deviceOptions()
{
    return {
        {{"p", "port"},
         "Serial port PATH (default: $KESTRO_PORT); station: repeatable, one fixture each.",
         "PATH"},
        {{"t", "timeout"}, "Wait MS for each response (default 2000).", "MS"},
        {{"r", "retries"}, "Send a request up to N more times (default 2).", "N"},
        {"wait-port", "Keep trying to open the port for SECONDS (default 0).", "SECONDS"},
        {"trace", "Show every frame sent and received on standard error. A faithful "
                  "wire dump: it holds the passwords."},
        {"omit-secrets", "read: leave out the two passwords."},
        {{"o", "output"}, "read: write the JSON to FILE.", "FILE"},
        {"set", "write, diff, check: replace KEY's value (repeatable).", "KEY=VALUE"},
        {"show-secrets", "write, diff: show the passwords instead of \"********\"; station: "
                         "keep them in the journal."},
        {"json", "ports, line status: one JSON object per port (batch) and line."},
        {"dry-run", "write: check and show what would change; send nothing."},
        {"no-verify", "write: do not read the configuration back."},
    };
}

// The options of station and of the line's commands.
QList<QCommandLineOption> stationOptions()
{
    return {
        {"profile", "station: the values all units share, under each row's.", "FILE"},
        {"certificate", "station: the certificate for rows without their own.", "FILE"},
        {"journal", "station: the journal (default: MANIFEST.journal).", "FILE"},
        {"row-tries",
         "station: set a row aside once N units in a row failed it the same way "
         "(default 3).",
         "N"},
        {"db",
         "line: the line's database, as libpq takes it (URI or key=value); default: "
         "libpq's PG* environment.",
         "CONNINFO"},
        {"station-role", "line init: grant ROLE only what a station needs.", "ROLE"},
        {"viewer-role", "line init: grant ROLE only the dashboard's views.", "ROLE"},
        {"batch", "line; station: take the rows from this batch of the line's database.", "NAME"},
        {"allow-shared-identities",
         "line import: import rows whose host names an open batch holds too (a batch that "
         "replaces another)."},
        {"station", "station --batch: the station's name on the line (default: the host name).",
         "NAME"},
        {"lease",
         "station --batch: hold a row for SECONDS, renewed while its unit is on the "
         "fixture (default 30).",
         "SECONDS"},
        {"release", "station: free ROW, kept for a unit that is lost, for any unit.", "ROW"},
        {"row", "line release: the row to free.", "N"},
        {"reason", "station --release, line release: why the row is freed.", "TEXT"},
        {"watch", "line status: redraw the view every SECONDS (default 2) until Ctrl-C.",
         "SECONDS"},
    };
}

void setUpParser(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Commissions a Varnak Kestro 3 device from the command line.\n\n") +
        QString::fromLatin1(kForms).trimmed());
    parser.addOptions(deviceOptions());
    parser.addOptions(stationOptions());
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("command", "One of the commands below.");
}

// A number option; `unit` names what it counts, for the message that
// refuses it.
bool readNumber(const QCommandLineParser &parser, const QString &name, const char *unit, int min,
                int max, int &value, QString &problem)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int number = parser.value(name).toInt(&ok, 10);
    if (!ok || number < min || number > max) {
        problem = QStringLiteral("--%1: a whole number%2 from %3 to %4")
                      .arg(name, QLatin1String(unit), QString::number(min), QString::number(max));
        return false;
    }
    value = number;
    return true;
}

bool readNumbers(const QCommandLineParser &parser, Invocation &invocation, QString &problem)
{
    return readNumber(parser, "timeout", " of milliseconds", 1, 3600000, invocation.timeoutMs,
                      problem) &&
           readNumber(parser, "retries", "", 0, 100, invocation.retries, problem) &&
           readNumber(parser, "wait-port", " of seconds", 0, 86400, invocation.waitPortSeconds,
                      problem) &&
           readNumber(parser, "row-tries", " of units", 1, 1000, invocation.rowTries, problem) &&
           readNumber(parser, "lease", " of seconds", 1, 3600, invocation.leaseSeconds, problem) &&
           readNumber(parser, "release", " of a row", 1, 1000000000, invocation.releaseRow,
                      problem) &&
           readNumber(parser, "row", " of a row", 1, 1000000000, invocation.releaseRow, problem) &&
           readNumber(parser, "watch", " of seconds", 1, 3600, invocation.watchSeconds, problem);
}

bool checkCommandOptions(const QCommandLineParser &parser, const QString &command, QString &problem)
{
    for (const CommandOption &option : kCommandOptions) {
        const QString name = QString::fromLatin1(option.option);
        if (parser.isSet(name) && !option.commands.contains(command)) {
            problem = QStringLiteral("--%1 does not apply to %2").arg(name, command);
            return false;
        }
    }
    return true;
}

// Where a port's name leads: its path with every symbolic link followed,
// even a link to a device that is not there yet (a unit not plugged in).
QString resolvedPort(const QString &name)
{
    QFileInfo info(QFileInfo(portDevicePath(name)).absoluteFilePath());
    for (int hops = 0; hops < 40 && info.isSymLink(); ++hops)
        info.setFile(info.symLinkTarget());
    return QDir::cleanPath(info.absoluteFilePath());
}

// Whether two -p names are one port: the same path once links are followed,
// or the same device behind two device files.
bool samePort(const QString &a, const QString &b)
{
    const QString pathA = resolvedPort(a), pathB = resolvedPort(b);
    if (pathA == pathB)
        return true;
    struct stat fileA, fileB;
    if (::stat(QFile::encodeName(pathA).constData(), &fileA) != 0 ||
        ::stat(QFile::encodeName(pathB).constData(), &fileB) != 0)
        return false;
    if (S_ISCHR(fileA.st_mode) && S_ISCHR(fileB.st_mode))
        return fileA.st_rdev == fileB.st_rdev;
    return fileA.st_dev == fileB.st_dev && fileA.st_ino == fileB.st_ino;
}

bool checkPorts(const Invocation &invocation, const CommandShape &shape, QString &problem)
{
    // Freeing a kept row is the journal's work alone.
    const bool release = invocation.releaseRow > 0;
    if (shape.needsPort && !release && invocation.ports.isEmpty()) {
        problem = QStringLiteral("no port: give -p PATH or set KESTRO_PORT");
        return false;
    }
    const bool station = invocation.command == QLatin1String("station");
    if (invocation.ports.size() > 1 && !station) {
        problem = QStringLiteral("%1 takes one port; only station takes several -p")
                      .arg(invocation.command);
        return false;
    }
    for (int i = 0; i < invocation.ports.size(); ++i) {
        for (int j = i + 1; j < invocation.ports.size(); ++j) {
            const QString &a = invocation.ports.at(i), &b = invocation.ports.at(j);
            if (samePort(a, b)) {
                problem = QStringLiteral("-p %1 and -p %2 are the same port").arg(a, b);
                return false;
            }
        }
    }
    return true;
}

// A station on a line takes its rows from a batch, with everything it
// needs; one with a manifest has no use for the line's options.
bool checkRowSource(const QCommandLineParser &parser, const Invocation &invocation, int files,
                    QString &problem)
{
    if (invocation.command != QLatin1String("station"))
        return true;
    if (!invocation.batch.isEmpty() &&
        (files != 0 || parser.isSet("profile") || parser.isSet("certificate")))
        problem = QStringLiteral("station --batch takes no MANIFEST, --profile or --certificate: "
                                 "the batch holds them");
    if (invocation.batch.isEmpty() &&
        (parser.isSet("db") || parser.isSet("station") || parser.isSet("lease")))
        problem = QStringLiteral("--db, --station and --lease need --batch NAME");
    if (parser.isSet("release") && !invocation.batch.isEmpty())
        problem =
            QStringLiteral("station --release frees a manifest's row; a batch's: line release");
    if (parser.isSet("release") != parser.isSet("reason"))
        problem = QStringLiteral("--release ROW and --reason TEXT go together");
    return problem.isEmpty();
}

bool readCommand(const QCommandLineParser &parser, Invocation &invocation, QString &problem)
{
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        problem = QStringLiteral("no command given");
        return false;
    }
    invocation.command = positional.first();
    // line's commands are two words.
    if (invocation.command == QLatin1String("line")) {
        if (positional.size() < 2) {
            problem = QStringLiteral("line needs one of: init, import, status, export, release");
            return false;
        }
        invocation.command += QLatin1Char(' ') + positional.takeAt(1);
    }
    const CommandShape *shape = findCommand(invocation.command);
    if (!shape) {
        problem = QStringLiteral("unknown command '%1'").arg(invocation.command);
        return false;
    }
    const bool fromBatch =
        invocation.command == QLatin1String("station") && !invocation.batch.isEmpty();
    if (!checkRowSource(parser, invocation, positional.size() - 1, problem))
        return false;
    if (!fromBatch && positional.size() != 1 + shape->files) {
        problem = shape->files ? QStringLiteral("%1 needs one FILE").arg(invocation.command)
                               : QStringLiteral("%1 takes no arguments").arg(invocation.command);
        return false;
    }
    if (shape->files && !fromBatch)
        invocation.file = positional.at(1);
    return checkPorts(invocation, *shape, problem);
}

void readFlags(const QCommandLineParser &parser, Invocation &invocation)
{
    invocation.ports = parser.isSet("port")
                           ? parser.values("port")
                           : QStringList{QString::fromLocal8Bit(qgetenv("KESTRO_PORT"))};
    invocation.ports.removeAll(QString());
    invocation.port = invocation.ports.value(0);
    invocation.trace = parser.isSet("trace");
    invocation.setPairs = parser.values("set");
    invocation.omitSecrets = parser.isSet("omit-secrets");
    invocation.outputFile = parser.value("output");
    invocation.dryRun = parser.isSet("dry-run");
    invocation.noVerify = parser.isSet("no-verify");
    invocation.profileFile = parser.value("profile");
    invocation.certificateFile = parser.value("certificate");
    invocation.journalFile = parser.value("journal");
    invocation.showSecrets = parser.isSet("show-secrets");
    invocation.json = parser.isSet("json");
    invocation.database = parser.value("db");
    invocation.stationRole = parser.value("station-role");
    invocation.viewerRole = parser.value("viewer-role");
    invocation.batch = parser.value("batch");
    invocation.stationName = parser.value("station");
    invocation.reason = parser.value("reason");
    invocation.allowSharedIdentities = parser.isSet("allow-shared-identities");
}

// A name becomes part of file names and of every line that mentions it:
// one of thousands of characters is a mistake, refused before it costs one.
constexpr int kMostNameCharacters = 200;

bool checkNames(const Invocation &invocation, QString &problem)
{
    const std::pair<const char *, const QString *> names[] = {{"batch", &invocation.batch},
                                                              {"station", &invocation.stationName}};
    for (const auto &name : names) {
        const int characters = int(name.second->toUcs4().size());
        if (characters > kMostNameCharacters) {
            problem = QStringLiteral("--%1: a name of at most %2 characters (this one has %3)")
                          .arg(QLatin1String(name.first))
                          .arg(kMostNameCharacters)
                          .arg(characters);
            return false;
        }
    }
    return true;
}

// --watch takes its SECONDS only if they follow it: alone, it means 2.
QStringList withWatchSeconds(QStringList arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) != QLatin1String("--watch"))
            continue;
        bool number = false;
        if (i + 1 < arguments.size())
            arguments.at(i + 1).toInt(&number, 10);
        if (!number)
            arguments[i] = QStringLiteral("--watch=2");
    }
    return arguments;
}

} // namespace

ParseOutcome parseCommandLine(const QStringList &arguments, Invocation &invocation,
                              QString &problem)
{
    QCommandLineParser parser;
    setUpParser(parser);
    if (!parser.parse(withWatchSeconds(arguments))) {
        problem = parser.errorText();
        return ParseOutcome::UsageError;
    }
    if (parser.isSet("help") || parser.isSet("help-all"))
        return ParseOutcome::ShowHelp;
    if (parser.isSet("version"))
        return ParseOutcome::ShowVersion;
    readFlags(parser, invocation);
    if (!readNumbers(parser, invocation, problem) || !checkNames(invocation, problem) ||
        !readCommand(parser, invocation, problem) ||
        !checkCommandOptions(parser, invocation.command, problem))
        return ParseOutcome::UsageError;
    return ParseOutcome::Run;
}

QString helpText()
{
    QCommandLineParser parser;
    setUpParser(parser);
    QString exitCodes = QStringLiteral("Exit codes:\n");
    for (int code = ExitDone; code <= ExitRowsSetAside; ++code)
        exitCodes +=
            QStringLiteral("  %1  %2\n").arg(code, 3).arg(QLatin1String(kExitMeanings[code]));
    exitCodes += QStringLiteral("  %1  %2\n")
                     .arg(ExitLineDatabase, 3)
                     .arg(QLatin1String(kLineDatabaseMeaning));
    exitCodes +=
        QStringLiteral("  %1  %2\n").arg(ExitInterrupted).arg(QLatin1String(kInterruptedMeaning));
    return parser.helpText() + QLatin1Char('\n') + QString::fromLatin1(kCommands) +
           QLatin1Char('\n') + exitCodes;
}

QString usageText()
{
    return QStringLiteral("Usage:\n") + QString::fromLatin1(kForms) +
           QStringLiteral("Try 'kestroctl --help'.");
}
