// ferryctl: the target's memory and data messages from the command line,
// through ferrylink's public interface only.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ferryctl/args.h"
#include "ferryctl/commands.h"
#include <ferrylink.h>
#include "linkrules/link_text.h"
#include "ferryctl/output.h"
#include "ferryctl/port.h"

namespace {

// Descriptors 0 to 2 that were closed get /dev/null, before anything else
// is opened: otherwise the first socket or file would become standard
// output, and results would go into it. Read-only, so that output meant for
// a closed descriptor still fails as it would have. The library opens
// descriptors as it is loaded, before main, so this runs from the
// executable's pre-initialisers, which come before any library's.
void ReserveStandardDescriptors(int, char **, char **)
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free number: fd itself, as those below it are open.
        int opened = ::open("/dev/null", O_RDONLY);
        if (opened != fd) {
            static const char kMessage[] = "ferryctl: cannot open /dev/null for a closed standard descriptor\n";
            [[maybe_unused]] ssize_t r = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
            _exit(kExitFailed);
        }
    }
}

[[gnu::section(".preinit_array"),
  gnu::used]] void (*const g_reserveStandardDescriptors)(int, char **, char **) = ReserveStandardDescriptors;

// The options a command may take besides the common ones, as bits.
constexpr unsigned kOptPings = 1;     // -n N
constexpr unsigned kOptOutput = 2;    // -o FILE
constexpr unsigned kOptVerify = 4;    // --verify
constexpr unsigned kOptCount = 8;     // --count N
constexpr unsigned kOptDuration = 16; // --duration S

struct Command {
    const char *name;
    unsigned options;
    int (*run)(const Invocation &);
};

const Command kCommands[] = {
    {"ping", kOptPings, RunPing},
    {"read", kOptOutput, RunRead},
    {"write", 0, RunWrite},
    {"load", kOptVerify, RunLoad},
    {"monitor", kOptCount | kOptDuration, RunMonitor},
    {"send", 0, RunSend},
};

// getopt_long's codes for the long options; -h, -q, -n and -o are their letters.
enum LongOption {
    OptLink = 256,
    OptTimeout,
    OptQuiet,
    OptJson,
    OptHelp,
    OptVersion,
    OptVerify,
    OptCount,
    OptDuration,
};

const option kLongOptions[] = {
    {"link", required_argument, nullptr, OptLink},
    {"timeout", required_argument, nullptr, OptTimeout},
    {"quiet", no_argument, nullptr, OptQuiet},
    {"json", no_argument, nullptr, OptJson},
    {"help", no_argument, nullptr, OptHelp},
    {"version", no_argument, nullptr, OptVersion},
    {"verify", no_argument, nullptr, OptVerify},
    {"count", required_argument, nullptr, OptCount},
    {"duration", required_argument, nullptr, OptDuration},
    {nullptr, 0, nullptr, 0},
};

// "-": the words come back in order (code 1) among the options, so that
// options may stand before or after the command whatever POSIXLY_CORRECT
// says; ":": the messages are ours.
const char kShortOptions[] = "-:hqn:o:";

// The command options by their bits, as messages name them.
struct CommandOption {
    unsigned option;
    const char *name;
};

const CommandOption kCommandOptions[] = {
    {kOptPings, "-n"},      {kOptOutput, "-o"},           {kOptVerify, "--verify"},
    {kOptCount, "--count"}, {kOptDuration, "--duration"},
};

// The limits --timeout may set, in milliseconds (those FerrySetLimits takes).
constexpr uint64_t kShortestTimeout = 1;
constexpr uint64_t kLongestTimeout = 600000;
// A monitor may run for a year.
constexpr uint64_t kLongestDuration = uint64_t(365) * 24 * 3600 * 1000;

// The numbers come from the library and the link's rules, so that the help
// cannot fall behind them.
std::string HelpText()
{
    FerryLimits limits{};
    FerryGetLimits(&limits);
    size_t rates = 0;
    const uint32_t *baud = linkrules::BaudRates(rates);
    char text[4096];
    std::snprintf(text, sizeof text,
                  "usage: ferryctl [--link LINK] [--timeout SECONDS] [--quiet] [--json] COMMAND [ARGUMENT]...\n"
                  "\n"
                  "Reads and writes the target's memory and sends and receives data messages through\n"
                  "ferrylink.\n"
                  "\n"
                  "Commands:\n"
                  "  ping [-n N]                 open the link, N remote reads of 4 bytes at address 0\n"
                  "                              (default 10): round trip min, median and p99\n"
                  "  read ADDRESS COUNT [-o FILE]\n"
                  "                              COUNT bytes as a hex dump, or raw into FILE\n"
                  "  write ADDRESS VALUE...      32-bit words from ADDRESS on, 4 bytes apart\n"
                  "  load ADDRESS FILE [--verify]\n"
                  "                              FILE word by word (a short last word padded with\n"
                  "                              zeros), then read back and compared\n"
                  "  monitor [--count N] [--duration SECONDS]\n"
                  "                              print data messages as they come, until Ctrl-C,\n"
                  "                              N messages or the duration\n"
                  "  send TYPE [HEX]...          one packet of command type TYPE whose payload is the\n"
                  "                              hex bytes (de ad be ef, or deadbeef), at most %d\n"
                  "\n"
                  "Numbers are decimal or 0x hex (in a link, decimal only). Words travel\n"
                  "little-endian.\n"
                  "\n"
                  "Options:\n"
                  "  --link LINK    tcp:ADDRESS[:PORT] or serial:DEVICE[:BAUD] (default\n"
                  "                 $FERRYCTL_LINK). ADDRESS is strict dotted-decimal IPv4 (no\n"
                  "                 names, no leading zeros); PORT the base port, 1 to %d\n"
                  "                 (default %d; data messages come on PORT + %d); DEVICE 1\n"
                  "                 to %d bytes, colons allowed; BAUD a standard rate from %u\n"
                  "                 to %u (default %d)\n"
                  "  --timeout SECONDS\n"
                  "                 the library's limits for a reply, a send, a connection and\n"
                  "                 the open's acknowledgement, 0.001 to 600 (default %s s, the\n"
                  "                 acknowledgement %s s)\n"
                  "  --quiet, -q    no progress bar, notes or summaries\n"
                  "  --json         results as JSON, one object a line\n"
                  "  --help, -h     this text\n"
                  "  --version      the versions of ferryctl and of the library\n"
                  "\n"
                  "Exit status: 0 success; 1 the link, the target or a file failed; 2 a read's\n"
                  "reply was short; 3 monitor lost data messages; 64 usage error; 130 or 143\n"
                  "interrupted by SIGINT or SIGTERM (monitor: 0 after Ctrl-C).\n",
                  FERRYLINK_MAX_REQUEST, FERRYLINK_MAX_BASE_PORT, FERRYLINK_DEFAULT_PORT, FERRYLINK_NOTIFY_OFFSET,
                  FERRYLINK_TEXT_MAX, rates > 0 ? baud[0] : 0, rates > 0 ? baud[rates - 1] : 0, FERRYLINK_DEFAULT_BAUD,
                  SecondsText(limits.reply_ms).c_str(), SecondsText(limits.ack_ms).c_str());
    return text;
}

struct Parsed {
    bool help = false;
    bool version = false;
    std::string command;
    std::string linkText;
    bool haveLink = false;
    bool linkFromEnvironment = false; // for messages: where a bad link came from
    std::string timeoutText;
    bool haveTimeout = false;
    unsigned given = 0; // the command options given, by their bits
    std::string pings;  // and the values of those that take one
    std::string outFile;
    std::string count;
    std::string duration;
};

// An option as messages name it, from getopt_long's code for it.
std::string OptionName(int code)
{
    for (const option &o : kLongOptions) {
        if (o.name != nullptr && o.val == code)
            return std::string("--") + o.name;
    }
    return std::string("-") + char(code);
}

// The usage message for getopt_long's result '?' or ':'.
std::string OptionError(int result, char **argv)
{
    if (result == ':')
        return OptionName(optopt) + " needs a value";
    // A long option: the code of one that takes no value, or 0 for a name
    // that is none (or stands for more than one); a short one: its letter.
    if (optopt >= OptLink)
        return OptionName(optopt) + " takes no value";
    std::string option = optopt != 0 ? OptionName(optopt) : argv[optind - 1];
    return "unknown option " + option.substr(0, option.find('=')) + " (ferryctl --help lists them)";
}

// Common options anywhere; the command's own after its name or before it.
bool ParseArguments(int argc, char **argv, Parsed &parsed, Invocation &invocation, std::string &message)
{
    auto word = [&](const char *text) {
        if (parsed.command.empty())
            parsed.command = text;
        else
            invocation.args.emplace_back(text);
    };
    opterr = 0;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        switch (c) {
        case 1:
            word(optarg);
            break;
        case 'h':
        case OptHelp:
            parsed.help = true;
            break;
        case OptVersion:
            parsed.version = true;
            break;
        case 'q':
        case OptQuiet:
            invocation.quiet = true;
            break;
        case OptJson:
            invocation.json = true;
            break;
        case OptLink:
            parsed.linkText = optarg;
            parsed.haveLink = true;
            break;
        case OptTimeout:
            parsed.timeoutText = optarg;
            parsed.haveTimeout = true;
            break;
        case 'n':
            parsed.given |= kOptPings;
            parsed.pings = optarg;
            break;
        case 'o':
            parsed.given |= kOptOutput;
            parsed.outFile = optarg;
            break;
        case OptVerify:
            parsed.given |= kOptVerify;
            break;
        case OptCount:
            parsed.given |= kOptCount;
            parsed.count = optarg;
            break;
        case OptDuration:
            parsed.given |= kOptDuration;
            parsed.duration = optarg;
            break;
        default:
            message = OptionError(c, argv);
            return false;
        }
    }
    // Everything after "--" is words.
    for (int i = optind; i < argc; ++i)
        word(argv[i]);
    return true;
}

// The command's own options, checked and converted.
bool TakeOptions(const Command &command, const Parsed &parsed, Invocation &invocation, std::string &message)
{
    for (const CommandOption &o : kCommandOptions) {
        if ((parsed.given & o.option) != 0 && (command.options & o.option) == 0) {
            message = std::string(command.name) + " takes no " + o.name + " option";
            return false;
        }
    }
    std::string name = command.name;
    if ((parsed.given & kOptPings) != 0 &&
        !ParseRanged(parsed.pings, (name + ": -n").c_str(), 1, 1000000, invocation.pings, message))
        return false;
    if ((parsed.given & kOptOutput) != 0) {
        invocation.outFile = parsed.outFile;
        if (invocation.outFile.empty()) {
            message = name + ": -o needs a file name";
            return false;
        }
    }
    invocation.verify = (parsed.given & kOptVerify) != 0;
    if ((parsed.given & kOptCount) != 0 &&
        !ParseRanged(parsed.count, (name + ": --count").c_str(), 1, 1000000000, invocation.messages, message))
        return false;
    if ((parsed.given & kOptDuration) != 0 && !ParseSeconds(parsed.duration, (name + ": --duration").c_str(), 1,
                                                            kLongestDuration, invocation.durationMillis, message))
        return false;
    uint64_t timeout = 0;
    if (parsed.haveTimeout &&
        !ParseSeconds(parsed.timeoutText, "--timeout", kShortestTimeout, kLongestTimeout, timeout, message))
        return false;
    invocation.timeoutMillis = uint32_t(timeout);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Parsed parsed;
    Invocation invocation;
    std::string message;
    if (!ParseArguments(argc, argv, parsed, invocation, message))
        return UsageError(message);
    if (parsed.help) {
        std::fputs(HelpText().c_str(), stdout);
        return kExitOk;
    }
    if (parsed.version) {
        std::printf("ferryctl %s (libferrylink %s)\n", FERRYCTL_VERSION, FerryVersion());
        return kExitOk;
    }
    if (parsed.command.empty())
        return UsageError("no command (ferryctl --help lists them)");
    const Command *command = nullptr;
    for (const Command &c : kCommands) {
        if (parsed.command == c.name)
            command = &c;
    }
    if (command == nullptr)
        return UsageError("unknown command \"" + parsed.command + "\" (ferryctl --help lists them)");
    if (!TakeOptions(*command, parsed, invocation, message))
        return UsageError(message);

    const char *fromEnvironment = std::getenv("FERRYCTL_LINK");
    if (!parsed.haveLink && fromEnvironment != nullptr && *fromEnvironment != '\0') {
        parsed.linkText = fromEnvironment;
        parsed.haveLink = true;
        parsed.linkFromEnvironment = true;
    }
    if (!parsed.haveLink)
        return UsageError("no link: give --link tcp:ADDRESS[:PORT] or serial:DEVICE[:BAUD], or set FERRYCTL_LINK");
    if (!ParseLink(parsed.linkText, invocation.link, message))
        return UsageError((parsed.linkFromEnvironment ? "FERRYCTL_LINK=" : "--link ") + parsed.linkText + ": " +
                          message);

    SeparateLibraryOutput();
    if (!ApplyTimeout(invocation.timeoutMillis))
        return kExitFailed;
    int status = kExitOk;
    {
        SignalGuard signals;
        status = command->run(invocation);
    }
    // Results that did not reach standard output are a failure too.
    if (!FinishOutput() && status == kExitOk)
        status = kExitFailed;
    return status;
}
