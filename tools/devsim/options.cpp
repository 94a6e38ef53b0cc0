#include "tools/devsim/options.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

#include <getopt.h>

namespace devsim {

namespace {

const char usage[] = "Usage: kestro-devsim [OPTION]...\n"
                     "Plays a Kestro 3 device on a pseudo-terminal. The first line on standard\n"
                     "output is the path of its port; open that path at 115200 8N1.\n"
                     "Requests it cannot parse get no answer and a line on standard error.\n"
                     "SIGUSR1 swaps the unit on the port, as on a fixture whose adapter stays\n"
                     "plugged in: the next unit answers after --swap-gap.\n"
                     "\n"
                     "  --link PATH       also make PATH a symbolic link to the port, replacing\n"
                     "                    any link already there: a new simulator on the same\n"
                     "                    PATH is the device plugged in again\n"
                     "  --cert-out FILE   write each uploaded certificate to FILE\n"
                     "  --state FILE      start with the configuration FILE holds, if it exists\n"
                     "                    (the JSON that kestroctl read prints, all 13 keys),\n"
                     "                    and replace FILE after each accepted Config Update:\n"
                     "                    settings that survive a power cycle. Given again:\n"
                     "                    unit 2's file, unit 3's, ... one file to a unit\n"
                     "  --swap-gap MS     on SIGUSR1, answer nothing for MS milliseconds\n"
                     "                    (default 1000; 0: at once), dropping whatever\n"
                     "                    arrives, then answer as the next unit, with the next\n"
                     "                    --state file; past the last one, each unit is a\n"
                     "                    fresh device without a state file\n"
                     "  --baud N          read and write no faster than an N-baud line (8N1,\n"
                     "                    10 bits a byte); by default as fast as the tool\n"
                     "\n"
                     "Faults, for tests and training:\n"
                     "  --status N        answer every request with status N\n"
                     "  --split N         send each response in N pieces with short pauses\n"
                     "  --split-pause MS  pause MS milliseconds between pieces (default 30)\n"
                     "  --noise           send stray bytes before each response\n"
                     "  --bad-checksum    send each response with a wrong checksum\n"
                     "  --bad-checksum-every N\n"
                     "                    send every N-th response with a wrong checksum\n"
                     "  --wrong-length    make each response message one byte too long\n"
                     "  --unexpected-id   give each response an id outside the message set\n"
                     "  --ignore-updates  answer each Config Update with status 0 but keep the\n"
                     "                    configuration as it was\n"
                     "  --silent          never answer\n"
                     "  --delay MS        wait MS milliseconds before each answer\n"
                     "  --hangup-after N  close the port after the N-th response, as a pulled\n"
                     "                    cable would, and exit\n"
                     "\n"
                     "  --help            show this text and exit\n";

// One option: its name without the leading "--", whether it takes a value,
// and for a number the range it must lie in and what to say when it does not.
// `store` puts the value, as text and as a number, into the options.
struct OptionRule {
    const char *name;
    bool takesValue;
    long min;
    long max;
    const char *whyBad; // nullptr: the value is text, and any text will do
    void (*store)(Options &options, const char *text, long number);
};

constexpr OptionRule rules[] = {
    {"link", true, 0, 0, nullptr, [](Options &o, const char *text, long) { o.link = text; }},
    {"cert-out", true, 0, 0, nullptr, [](Options &o, const char *text, long) { o.certOut = text; }},
    {"state", true, 0, 0, nullptr,
     [](Options &o, const char *text, long) { o.stateFiles.push_back(text); }},
    {"baud", true, 1, 4000000, "needs a rate from 1 to 4000000",
     [](Options &o, const char *, long n) { o.baud = n; }},
    {"status", true, INT32_MIN, INT32_MAX, "needs a 32-bit signed number",
     [](Options &o, const char *, long n) {
         o.faults.overrideStatus = true;
         o.faults.status = static_cast<int32_t>(n);
     }},
    {"split", true, 1, 100000, "needs a number of pieces from 1",
     [](Options &o, const char *, long n) { o.split = n; }},
    {"split-pause", true, 0, 3600000, "needs milliseconds from 0",
     [](Options &o, const char *, long n) { o.splitPauseMs = n; }},
    {"bad-checksum-every", true, 1, INT32_MAX, "needs a count from 1",
     [](Options &o, const char *, long n) { o.badChecksumEvery = n; }},
    {"swap-gap", true, 0, 3600000, "needs milliseconds from 0",
     [](Options &o, const char *, long n) { o.swapGapMs = n; }},
    {"delay", true, 0, 3600000, "needs milliseconds from 0",
     [](Options &o, const char *, long n) { o.delayMs = n; }},
    {"hangup-after", true, 1, INT32_MAX, "needs a count from 1",
     [](Options &o, const char *, long n) { o.hangupAfter = n; }},
    {"noise", false, 0, 0, nullptr, [](Options &o, const char *, long) { o.faults.noise = true; }},
    {"bad-checksum", false, 0, 0, nullptr,
     [](Options &o, const char *, long) { o.faults.badChecksum = true; }},
    {"wrong-length", false, 0, 0, nullptr,
     [](Options &o, const char *, long) { o.faults.wrongLength = true; }},
    {"unexpected-id", false, 0, 0, nullptr,
     [](Options &o, const char *, long) { o.faults.unexpectedId = true; }},
    {"ignore-updates", false, 0, 0, nullptr,
     [](Options &o, const char *, long) { o.faults.ignoreUpdates = true; }},
    {"silent", false, 0, 0, nullptr, [](Options &o, const char *, long) { o.silent = true; }},
    {"help", false, 0, 0, nullptr, [](Options &o, const char *, long) { o.help = true; }},
};
// getopt_long reports an option by its index here plus one; ':' and '?' say
// what went wrong, so no option may take their places.
static_assert(std::size(rules) < ':', "too many options to tell from getopt_long's reports");

// The table that getopt_long reads.
std::vector<option> longOptions()
{
    std::vector<option> table;
    for (size_t i = 0; i < std::size(rules); ++i)
        table.push_back({rules[i].name, rules[i].takesValue ? required_argument : no_argument,
                         nullptr, static_cast<int>(i) + 1});
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

// An argument as the user named an option: without any "=VALUE".
std::string typedName(const char *argument)
{
    const std::string text = argument;
    return text.compare(0, 2, "--") == 0 ? text.substr(0, text.find('=')) : text;
}

// The option that getopt_long reported as `found`, if the argument names it
// in full: a shortened name is no option, so that none can become ambiguous
// when another option is added.
const OptionRule *fullyNamed(int found, const char *argument)
{
    if (found < 1 || found > static_cast<int>(std::size(rules)))
        return nullptr;
    const OptionRule &rule = rules[found - 1];
    return typedName(argument) == std::string("--") + rule.name ? &rule : nullptr;
}

bool parseLong(const char *text, long min, long max, long &value)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max)
        return false;
    value = parsed;
    return true;
}

int badUsage(const std::string &why)
{
    std::fprintf(stderr, "kestro-devsim: %s\nTry 'kestro-devsim --help'.\n", why.c_str());
    return 2;
}

// Where a state file is written: its folder with links followed, and its
// name. The file is replaced by a rename, so a link of that name is replaced,
// not followed; and the file need not exist yet.
std::string writtenAt(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    char *real = realpath(folder.c_str(), nullptr);
    const std::string at = real ? std::string(real) + "/" + path.substr(slash + 1) : path;
    std::free(real);
    return at;
}

// Two units cannot share a state file: the later one would overwrite what
// the earlier one was given. Answers -1 to go on, otherwise the exit status.
int checkStateFiles(const Options &options)
{
    const std::vector<std::string> &files = options.stateFiles;
    for (size_t later = 1; later < files.size(); ++later)
        for (size_t earlier = 0; earlier < later; ++earlier)
            if (writtenAt(files[earlier]) == writtenAt(files[later]))
                return badUsage("--state " + files[later] + " is unit " +
                                std::to_string(earlier + 1) +
                                "'s file too; each unit needs a file of its own");
    return -1;
}

// Takes the option that getopt_long reported as `found` (or as ':' or '?',
// with the option in optopt) in `argument`; answers -1 to go on, otherwise
// the exit status.
int takeOption(int found, const char *argument, Options &options)
{
    const bool failed = found == ':' || found == '?';
    const OptionRule *rule = fullyNamed(failed ? optopt : found, argument);
    if (!rule)
        return badUsage("unknown option " + typedName(argument));
    const std::string name = std::string("--") + rule->name;
    if (found == ':')
        return badUsage(name + " needs a value");
    if (found == '?')
        return badUsage(name + " takes no value");
    long number = 0;
    if (rule->whyBad && !parseLong(optarg, rule->min, rule->max, number))
        return badUsage(name + " " + rule->whyBad);
    rule->store(options, optarg, number);
    if (!options.help)
        return -1;
    std::fputs(usage, stdout);
    return 0;
}

} // namespace

int parseOptions(int argc, char **argv, Options &options)
{
    const std::vector<option> table = longOptions();
    opterr = 0; // the messages are ours
    for (;;) {
        const int at = optind;
        // "+": stop at the first argument that is not an option, which is an
        // error here; ":": report a missing value apart from other errors.
        const int found = getopt_long(argc, argv, "+:", table.data(), nullptr);
        if (found == -1)
            return at < argc ? badUsage("unknown option " + typedName(argv[at]))
                             : checkStateFiles(options);
        const int status = takeOption(found, argv[at], options);
        if (status >= 0)
            return status;
    }
}

} // namespace devsim
