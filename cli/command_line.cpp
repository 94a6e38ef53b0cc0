#include "cli/command_line.h"
#include "cli/exit_codes.h"

#include <QCommandLineParser>

namespace {

const char kForms[] = "  kestroctl [options] ports\n"
                      "  kestroctl [options] ping\n"
                      "  kestroctl [options] read [--omit-secrets] [-o FILE]\n"
                      "  kestroctl [options] write FILE [--set KEY=VALUE]... [--dry-run] "
                      "[--no-verify]\n"
                      "  kestroctl [options] diff FILE [--set KEY=VALUE]...\n"
                      "  kestroctl [options] upload-cert FILE\n";

const char kCommands[] =
    "Commands:\n"
    "  ports        list the system's serial ports\n"
    "  ping         send a Ping and print the device's status\n"
    "  read         print the device's configuration as JSON\n"
    "  write FILE   apply the keys FILE gives (then the --set pairs), check them with\n"
    "               the tool's rules, send them and read them back\n"
    "  diff FILE    print the keys whose values differ between device and FILE\n"
    "               (write and diff read a FILE of - from standard input)\n"
    "  upload-cert FILE\n"
    "               send FILE (at most 8192 bytes) as the device's certificate\n";

struct CommandShape {
    const char *name;
    int files; // positional FILE arguments after the command
    bool needsPort;
};

const CommandShape kCommandShapes[] = {
    {"ports", 0, false}, {"ping", 0, true}, {"read", 0, true},
    {"write", 1, true},  {"diff", 1, true}, {"upload-cert", 1, true},
};

// Options that only some commands take.
struct CommandOption {
    const char *option;
    QStringList commands;
};

const CommandOption kCommandOptions[] = {
    {"omit-secrets", {"read"}}, {"output", {"read"}},     {"set", {"write", "diff"}},
    {"dry-run", {"write"}},     {"no-verify", {"write"}},
};

void setUpParser(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Commissions a Varnak Kestro 3 device from the command line.\n\n") +
        QString::fromLatin1(kForms).trimmed());
    parser.addOptions({
        {{"p", "port"}, "Serial port PATH (default: $KESTRO_PORT).", "PATH"},
        {{"t", "timeout"}, "Wait MS for each response (default 2000).", "MS"},
        {{"r", "retries"}, "Send a request up to N more times (default 2).", "N"},
        {"wait-port", "Keep trying to open the port for SECONDS (default 0).", "SECONDS"},
        {"trace", "Show every frame sent and received on standard error."},
        {"omit-secrets", "read: leave out the two passwords."},
        {{"o", "output"}, "read: write the JSON to FILE.", "FILE"},
        {"set", "write, diff: replace KEY's value (repeatable).", "KEY=VALUE"},
        {"dry-run", "write: check and show what would change; send nothing."},
        {"no-verify", "write: do not read the configuration back."},
    });
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("command", "ports, ping, read, write, diff or upload-cert.");
}

const CommandShape *shapeOf(const QString &command)
{
    for (const CommandShape &shape : kCommandShapes) {
        if (command == QLatin1String(shape.name))
            return &shape;
    }
    return nullptr;
}

bool readNumber(const QCommandLineParser &parser, const QString &name, int max, int &value,
                QString &problem)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int number = parser.value(name).toInt(&ok, 10);
    if (!ok || number < 0 || number > max) {
        problem = QStringLiteral("--%1 needs a whole number from 0 to %2, not '%3'")
                      .arg(name, QString::number(max), parser.value(name));
        return false;
    }
    value = number;
    return true;
}

bool readNumbers(const QCommandLineParser &parser, Invocation &invocation, QString &problem)
{
    if (!readNumber(parser, "timeout", 3600000, invocation.timeoutMs, problem) ||
        !readNumber(parser, "retries", 100, invocation.retries, problem) ||
        !readNumber(parser, "wait-port", 86400, invocation.waitPortSeconds, problem))
        return false;
    if (invocation.timeoutMs == 0) {
        problem = QStringLiteral("--timeout must be at least 1 ms");
        return false;
    }
    return true;
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

bool readCommand(const QCommandLineParser &parser, Invocation &invocation, QString &problem)
{
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        problem = QStringLiteral("no command given");
        return false;
    }
    invocation.command = positional.first();
    const CommandShape *shape = shapeOf(invocation.command);
    if (!shape) {
        problem = QStringLiteral("unknown command '%1'").arg(invocation.command);
        return false;
    }
    if (positional.size() != 1 + shape->files) {
        problem = shape->files ? QStringLiteral("%1 needs one FILE").arg(invocation.command)
                               : QStringLiteral("%1 takes no arguments").arg(invocation.command);
        return false;
    }
    if (shape->files)
        invocation.file = positional.at(1);
    if (shape->needsPort && invocation.port.isEmpty()) {
        problem = QStringLiteral("no port: give -p PATH or set KESTRO_PORT");
        return false;
    }
    return true;
}

void readFlags(const QCommandLineParser &parser, Invocation &invocation)
{
    invocation.port = parser.isSet("port") ? parser.value("port")
                                           : QString::fromLocal8Bit(qgetenv("KESTRO_PORT"));
    invocation.trace = parser.isSet("trace");
    invocation.setPairs = parser.values("set");
    invocation.omitSecrets = parser.isSet("omit-secrets");
    invocation.outputFile = parser.value("output");
    invocation.dryRun = parser.isSet("dry-run");
    invocation.noVerify = parser.isSet("no-verify");
}

} // namespace

ParseOutcome parseCommandLine(const QStringList &arguments, Invocation &invocation,
                              QString &problem)
{
    QCommandLineParser parser;
    setUpParser(parser);
    if (!parser.parse(arguments)) {
        problem = parser.errorText();
        return ParseOutcome::UsageError;
    }
    if (parser.isSet("help") || parser.isSet("help-all"))
        return ParseOutcome::ShowHelp;
    if (parser.isSet("version"))
        return ParseOutcome::ShowVersion;
    readFlags(parser, invocation);
    if (!readNumbers(parser, invocation, problem) || !readCommand(parser, invocation, problem) ||
        !checkCommandOptions(parser, invocation.command, problem))
        return ParseOutcome::UsageError;
    return ParseOutcome::Run;
}

QString helpText()
{
    QCommandLineParser parser;
    setUpParser(parser);
    return parser.helpText() + QLatin1Char('\n') + QString::fromLatin1(kCommands) +
           QLatin1Char('\n') + QString::fromLatin1(kExitCodeTable);
}

QString usageText()
{
    return QStringLiteral("Usage:\n") + QString::fromLatin1(kForms) +
           QStringLiteral("Try 'kestroctl --help'.");
}
