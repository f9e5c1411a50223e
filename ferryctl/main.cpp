// ferryctl: the target's memory and data messages from the command line,
// through ferrylink's public interface only.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "args.h"
#include "commands.h"
#include "output.h"
#include "port.h"

namespace {

// The options a command may take besides the common ones, as bits.
constexpr unsigned kOptPings = 1;    // -n N
constexpr unsigned kOptOutput = 2;   // -o FILE
constexpr unsigned kOptVerify = 4;   // --verify
constexpr unsigned kOptCount = 8;    // --count N
constexpr unsigned kOptTimeout = 16; // --timeout S

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
    {"monitor", kOptCount | kOptTimeout, RunMonitor},
    {"send", 0, RunSend},
};

struct OptionName {
    const char *name;
    unsigned option;
    bool takesValue;
};

const OptionName kOptionNames[] = {
    {"-n", kOptPings, true},      {"-o", kOptOutput, true},         {"--verify", kOptVerify, false},
    {"--count", kOptCount, true}, {"--timeout", kOptTimeout, true},
};

const char kHelp[] = "usage: ferryctl [--link LINK] [--quiet] [--json] COMMAND [ARGUMENT]...\n"
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
                     "  monitor [--count N] [--timeout S]\n"
                     "                              print data messages as they come, until Ctrl-C,\n"
                     "                              N messages or S seconds\n"
                     "  send TYPE [HEX]...          one packet of command type TYPE whose payload is the\n"
                     "                              hex bytes (de ad be ef, or deadbeef), at most 2043\n"
                     "\n"
                     "Numbers are decimal or 0x hex. Words travel little-endian.\n"
                     "\n"
                     "Options:\n"
                     "  --link LINK    tcp:ADDRESS[:PORT] (dotted-decimal IPv4, port 2800) or\n"
                     "                 serial:DEVICE[:BAUD] (115200 baud); default $FERRYCTL_LINK\n"
                     "  --quiet, -q    no progress bar, notes or summaries\n"
                     "  --json         results as JSON, one object a line\n"
                     "  --help, -h     this text\n"
                     "  --version      the version\n"
                     "\n"
                     "Exit status: 0 success; 1 the link, the target or a file failed; 64 usage\n"
                     "error; 130 or 143 interrupted by SIGINT or SIGTERM (monitor: 0 after Ctrl-C).\n";

struct Parsed {
    bool help = false;
    bool version = false;
    std::string command;
    std::string linkText;
    bool haveLink = false;
    unsigned given = 0;
    std::string values[5]; // by the bit of each option with a value
};

int OptionSlot(unsigned option)
{
    int slot = 0;
    while ((1u << slot) != option)
        ++slot;
    return slot;
}

// Common options anywhere; the command's own after its name or before it.
bool ParseArguments(int argc, char **argv, Parsed &parsed, Invocation &invocation, std::string &message)
{
    bool onlyWords = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        size_t equals = arg.find('=');
        bool inlineValue = !onlyWords && arg.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        }
        if (onlyWords || arg.empty() || arg[0] != '-' || arg == "-") {
            if (parsed.command.empty())
                parsed.command = arg;
            else
                invocation.args.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyWords = true;
        } else if (arg == "--help" || arg == "-h") {
            parsed.help = true;
        } else if (arg == "--version") {
            parsed.version = true;
        } else if (arg == "--quiet" || arg == "-q") {
            invocation.quiet = true;
        } else if (arg == "--json") {
            invocation.json = true;
        } else {
            const OptionName *known = nullptr;
            for (const OptionName &o : kOptionNames) {
                if (arg == o.name)
                    known = &o;
            }
            bool link = arg == "--link";
            if (known == nullptr && !link) {
                message = "unknown option " + arg + " (ferryctl --help lists them)";
                return false;
            }
            bool takesValue = link || known->takesValue;
            if (takesValue && !inlineValue) {
                if (i + 1 >= argc) {
                    message = arg + " needs a value";
                    return false;
                }
                value = argv[++i];
            } else if (!takesValue && inlineValue) {
                message = arg + " takes no value";
                return false;
            }
            if (link) {
                parsed.linkText = value;
                parsed.haveLink = true;
            } else {
                parsed.given |= known->option;
                parsed.values[OptionSlot(known->option)] = value;
            }
        }
    }
    return true;
}

// The command's own options, checked and converted.
bool TakeOptions(const Command &command, const Parsed &parsed, Invocation &invocation, std::string &message)
{
    for (const OptionName &o : kOptionNames) {
        if ((parsed.given & o.option) != 0 && (command.options & o.option) == 0) {
            message = std::string(command.name) + " takes no " + o.name + " option";
            return false;
        }
    }
    auto value = [&](unsigned option) { return parsed.values[OptionSlot(option)]; };
    std::string name = command.name;
    if ((parsed.given & kOptPings) != 0 &&
        !ParseRanged(value(kOptPings), (name + ": -n").c_str(), 1, 1000000, invocation.pings, message))
        return false;
    if ((parsed.given & kOptOutput) != 0) {
        invocation.outFile = value(kOptOutput);
        if (invocation.outFile.empty()) {
            message = name + ": -o needs a file name";
            return false;
        }
    }
    invocation.verify = (parsed.given & kOptVerify) != 0;
    if ((parsed.given & kOptCount) != 0 &&
        !ParseRanged(value(kOptCount), (name + ": --count").c_str(), 1, 1000000000, invocation.messages, message))
        return false;
    if ((parsed.given & kOptTimeout) != 0 && !ParseRanged(value(kOptTimeout), (name + ": --timeout").c_str(), 1,
                                                          31536000, invocation.timeoutSeconds, message))
        return false;
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
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    if (parsed.version) {
        std::printf("ferryctl %s\n", FERRYCTL_VERSION);
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
    }
    if (!parsed.haveLink)
        return UsageError("no link: give --link tcp:ADDRESS[:PORT] or serial:DEVICE[:BAUD], or set FERRYCTL_LINK");
    if (!ParseLink(parsed.linkText, invocation.link, message))
        return UsageError(message);

    InstallSignalHandlers();
    SeparateLibraryOutput();
    int status = command->run(invocation);
    // Results that did not reach standard output are a failure too.
    if (!FinishOutput() && status == kExitOk)
        status = kExitFailed;
    return status;
}
