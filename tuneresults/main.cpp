// tuneresults: the line's results store from the command line. import reads
// OCP reports into it; yield, pareto, stats, history and failures ask it
// questions and print the answer as a table, JSON or CSV.
#include "results/timestamps.h"
#include "tuneresults/commands.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>

namespace {

// The store when neither --store nor TUNERESULTS_STORE names one.
constexpr const char *kDefaultStore = "tuneresults.db";

// The options a command takes besides --store and the output format, as bits.
constexpr unsigned kOptBy = 1;
constexpr unsigned kOptWindow = 2; // --since, --until
constexpr unsigned kOptCount = 4;  // -n
constexpr unsigned kOptListen = 8; // serve --listen

struct Command {
    const char *name;
    unsigned options;
    std::size_t minArgs;
    std::size_t maxArgs;
    int (*run)(const Invocation &);
};

const Command kCommands[] = {
    {"import", 0, 0, SIZE_MAX, CmdImport},     {"yield", kOptBy | kOptWindow, 0, 0, CmdYield},
    {"pareto", kOptWindow, 0, 0, CmdPareto},   {"stats", kOptWindow, 0, 1, CmdStats},
    {"history", kOptWindow, 1, 1, CmdHistory}, {"failures", kOptWindow | kOptCount, 0, 0, CmdFailures},
    {"serve", kOptListen, 0, 0, CmdServe},
};

enum LongOnly { OptStore = 256, OptJson, OptCsv, OptBy, OptSince, OptUntil, OptListen };

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"store", required_argument, nullptr, OptStore},
    {"json", no_argument, nullptr, OptJson},
    {"csv", no_argument, nullptr, OptCsv},
    {"by", required_argument, nullptr, OptBy},
    {"since", required_argument, nullptr, OptSince},
    {"until", required_argument, nullptr, OptUntil},
    {"listen", required_argument, nullptr, OptListen},
    {nullptr, 0, nullptr, 0},
};

const char kUsage[] = R"(Usage: tuneresults [OPTION]... COMMAND [ARGUMENT]...
The results store of the line: OCP reports of tuneprobe's runs imported into
an SQLite file or a PostgreSQL database, and the questions a line asks of
them.

Commands:
  import [FILE]...     read OCP 2.0 JSON-lines reports (standard input when
                       none or "-"); a run already stored is kept once
  yield                first-pass and final yield of the units
  pareto               the failed verdicts and measurements, most frequent
                       first
  stats [MEASUREMENT]  count, mean, standard deviation, range, limits, Cp and
                       Cpk of each numeric measurement (or of one)
  history UNIT         every run of a unit, retests included, oldest first
  failures [-n N]      the last N runs (default 10) that did not pass
                       completely, with what failed in them
  serve [--listen HOST:PORT]
                       a read-only dashboard of the store over HTTP
                       (default 127.0.0.1:8080; port 0 picks a free one;
                       the URL is printed first)

Options:
  --store DB           the store: postgresql://... or postgres://... for a
                       PostgreSQL server, anything else an SQLite file
                       (default $TUNERESULTS_STORE, else ./tuneresults.db)
  --json, --csv        print JSON or CSV instead of a table
  --by KEY             yield per station, fixture, day or shift (UTC; early
                       06-14, late 14-22, night 22-06)
  --since TIME         only runs started at or after TIME (2026-12-08 or
                       2026-12-08T06:00:00Z)
  --until TIME         only runs started before TIME; a date alone includes
                       that day
  -n N                 failures: how many runs (1 to 1000000)
  -h, --help           show this help and exit
  -V, --version        show the version and exit

Exit status: 0 done; 1 the store could not be opened, read or written (or
one newer than this program), or the output not written; 2 import refused a
line or a file (the rest was imported); 64 usage error.
)";

int Usage(const std::string &message)
{
    std::fprintf(stderr, "tuneresults: %s\n", message.c_str());
    return kExitUsage;
}

bool ParseTime(const char *option, const std::string &text, bool until, int64_t &ms, std::string &message)
{
    if (!results_store::TimestampMs(text, ms)) {
        message = std::string(option) + " " + text + ": expected a date (2026-12-08) or an RFC 3339 time";
        return false;
    }
    if (until && text.size() == 10)
        ms += 86400000; // the whole day
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Invocation invocation;
    const char *fromEnvironment = std::getenv("TUNERESULTS_STORE");
    invocation.store = fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : kDefaultStore;
    unsigned given = 0;
    bool json = false, csv = false;
    std::string message;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":hVn:", kLongOptions, nullptr)) != -1) {
        std::string value = optarg != nullptr ? optarg : "";
        switch (c) {
        case 'h':
            std::fputs(kUsage, stdout);
            return kExitOk;
        case 'V':
            std::printf("tuneresults %s\n", TUNERESULTS_VERSION);
            return kExitOk;
        case OptStore:
            if (value.empty())
                return Usage("--store needs a file name or a postgresql:// URL");
            invocation.store = value;
            break;
        case OptJson:
            json = true;
            break;
        case OptCsv:
            csv = true;
            break;
        case OptBy:
            if (value != "station" && value != "fixture" && value != "day" && value != "shift")
                return Usage("--by " + value + ": expected station, fixture, day or shift");
            invocation.by = value;
            given |= kOptBy;
            break;
        case OptSince:
        case OptUntil:
            if (!ParseTime(c == OptSince ? "--since" : "--until", value, c == OptUntil,
                           c == OptSince ? invocation.sinceMs : invocation.untilMs, message))
                return Usage(message);
            given |= kOptWindow;
            break;
        case OptListen:
            if (value.empty())
                return Usage("--listen needs HOST:PORT");
            invocation.listen = value;
            given |= kOptListen;
            break;
        case 'n': {
            char *end = nullptr;
            errno = 0;
            long long count = std::strtoll(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || count < 1 || count > 1000000 || value[0] == '+' ||
                value[0] == ' ')
                return Usage("-n " + value + ": expected a number from 1 to 1000000");
            invocation.count = count;
            given |= kOptCount;
            break;
        }
        case ':':
            return Usage(std::string("option ") + argv[optind - 1] + " needs a value");
        default:
            if (optopt > 0 && optopt < 128)
                return Usage(std::string("unknown option -") + static_cast<char>(optopt));
            return Usage(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    if (json && csv)
        return Usage("--json and --csv exclude each other");
    invocation.format = json ? Format::Json : csv ? Format::Csv : Format::Table;
    if (optind >= argc)
        return Usage("no command given (tuneresults --help lists them)");
    std::string name = argv[optind];
    for (int i = optind + 1; i < argc; ++i)
        invocation.args.push_back(argv[i]);
    for (const Command &command : kCommands) {
        if (name != command.name)
            continue;
        const char *extra = (given & ~command.options & kOptBy)       ? "--by"
                            : (given & ~command.options & kOptWindow) ? "--since/--until"
                            : (given & ~command.options & kOptCount)  ? "-n"
                            : (given & ~command.options & kOptListen) ? "--listen"
                                                                      : nullptr;
        if (extra != nullptr)
            return Usage(name + " takes no " + extra);
        if (invocation.args.size() < command.minArgs)
            return Usage(name + " needs an argument (tuneresults --help)");
        if (invocation.args.size() > command.maxArgs)
            return Usage("unexpected argument " + invocation.args[command.maxArgs]);
        if (invocation.sinceMs >= invocation.untilMs)
            return Usage("--since must come before --until");
        return command.run(invocation);
    }
    return Usage("unknown command " + name + " (tuneresults --help lists them)");
}
