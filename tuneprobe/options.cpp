#include "tuneprobe/options.h"

#include "tuneprobe/menu.h"
#include "tuneprobe/menu_items.h"
#include "tuneprobe/startup.h"

#include "calapi/calapi.h"
#include "cmdline/numbers.h"
#include "linkrules/link_text.h"

#include <cstdio>
#include <getopt.h>

namespace {

// getopt_long's codes for the options that have no short form.
enum LongOnly {
    OptInterface = 256,
    OptRun,
    OptNoPause,
    OptLoadMode,
    OptDutId,
    OptStation,
    OptReport,
    OptJunit,
    OptLog,
    OptListItems,
    OptOperator,
    OptFixture,
    OptMetadata,
    OptLimits,
    OptConnectAttempts,
    OptStore,
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"interface", required_argument, nullptr, OptInterface},
    {"run", required_argument, nullptr, OptRun},
    {"no-pause", no_argument, nullptr, OptNoPause},
    {"load-mode", required_argument, nullptr, OptLoadMode},
    {"dut-id", required_argument, nullptr, OptDutId},
    {"station", required_argument, nullptr, OptStation},
    {"report", required_argument, nullptr, OptReport},
    {"junit", required_argument, nullptr, OptJunit},
    {"log", required_argument, nullptr, OptLog},
    {"list-items", no_argument, nullptr, OptListItems},
    {"operator", required_argument, nullptr, OptOperator},
    {"fixture", required_argument, nullptr, OptFixture},
    {"metadata", required_argument, nullptr, OptMetadata},
    {"limits", required_argument, nullptr, OptLimits},
    {"connect-attempts", required_argument, nullptr, OptConnectAttempts},
    {"store", required_argument, nullptr, OptStore},
    {nullptr, 0, nullptr, 0},
};

// The run's own metadata keys are set by their options.
const char *const kReservedKeys[] = {"station", "operator", "fixture", "runId", "hostname"};

bool ParseMetadata(const std::string &text, Options &options, std::string &message)
{
    std::size_t equals = text.find('=');
    std::string key = text.substr(0, equals);
    if (equals == std::string::npos || key.empty() ||
        key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-") !=
            std::string::npos) {
        message = "--metadata " + text + ": expected KEY=VALUE, KEY made of letters, digits, '_', '.' and '-'";
        return false;
    }
    for (const char *reserved : kReservedKeys) {
        if (key == reserved) {
            message = "--metadata " + text + ": " + key + " is set by its own option or by tuneprobe";
            return false;
        }
    }
    for (const auto &entry : options.metadata) {
        if (entry.first == key) {
            message = "--metadata " + text + ": " + key + " is given twice";
            return false;
        }
    }
    options.metadata.emplace_back(key, text.substr(equals + 1));
    return true;
}

// The --help text, around the link's lines.
const char kUsageHead[] = R"(Usage: tuneprobe [OPTION]...
The operator's console of the calibration library. Without options it asks
for the interface and shows the menu; the options below run menu items
unattended and write their results as data.

  --interface IF    skip the interface dialogue; IF is one of
                      local
)";
const char kUsageTail[] = R"(                      tcp, serial          (the dialogue's defaults)
  --run ITEM        run a menu item, by number (9.2) or name (automated-test),
                    then close the device and exit; repeat for more items, run
                    in the order given (--list-items shows them all)
  --no-pause        the automated test's pauses wait for nothing
  --load-mode 1|2   the answer to the load-mode question (1 from NVM, 2 from DDR)
  --dut-id TEXT     the unit under test, for the reports
  --station TEXT    the test station, for the reports
  --operator TEXT   who runs the test, for the reports
  --fixture TEXT    the test fixture, for the reports
  --metadata KEY=VALUE
                    anything else the reports should carry; repeatable
  --report FILE     results as OCP Test and Validation Output (JSON lines,
                    schema 2.0), written as the run goes (needs --run)
  --junit FILE      the verdicts as JUnit XML, written when the run ends
                    (needs --run)
  --log FILE        a copy of the session, with the answers read in place
  --limits FILE     judge the measurements against the limits in FILE
                    (TOML; see tuneprobe(1)); a value outside them, or a
                    limit on a measurement never made, fails the unit
  --connect-attempts N
                    connection attempts, one second apart (default 10)
  --store DB        record the run in a results store when it ends, in one
                    transaction: an SQLite file, or postgresql://... (see
                    tuneresults(1)); a store not written is status 3
  --list-items      list the menu items with their numbers and names
  -h, --help        show this help and exit
  -V, --version     show the version and exit

Whatever an item asks is read from standard input, as in the menus.

Exit status with --run:
  0    every verdict passed and the unit was judged completely
  1    the interface could not be opened or the device did not connect
  2    the unit failed: a verdict or a limit failed, or a verdict's value or
       a measurement a limit names could not be measured (reject)
  3    no verdict failed, but the unit could not be judged completely: a
       library error in a step, the end of input before the run was
       complete, -1 at the interface question, or results (report, JUnit
       file, log, results store, standard output) not written (retest)
  64   usage error (nothing was opened); also a report, log or JUnit file
       that another run is writing
  130  interrupted (SIGINT); 143 terminated (SIGTERM); 129 hung up (SIGHUP);
       141 standard output closed (SIGPIPE)

Example, the automated test with no input at all:
  tuneprobe --interface local --run 9.2 --no-pause --load-mode 1 \
            --dut-id U1 --report u1.jsonl --junit u1.xml < /dev/null
)";

} // namespace

bool ParseInterface(const std::string &text, Options &options, std::string &message)
{
    bool ok = true;
    linkrules::LinkText link;
    std::string problem;
    if (text == "local") {
        options.interfaceType = TAVREL_IF_LOCAL;
        options.address.clear();
        options.number = 0;
    } else if (!linkrules::ParseLinkText(text, link, problem)) {
        // "local" is the console's own: the link's rules know only the links.
        message = "--interface " + text + ": " +
                  (link.transport != 0 ? problem : "expected local, tcp:ADDRESS[:PORT] or serial:PORT[:BAUD]");
        ok = false;
    } else {
        bool tcp = link.transport == FERRYLINK_TRANSPORT_TCP;
        options.interfaceType = tcp ? TAVREL_IF_ETHERNET_PROXY : TAVREL_IF_SERIAL_PROXY;
        options.address = link.text;
        options.number = link.number;
        if (link.bare) {
            // A transport alone takes the dialogue's defaults, as "." does there.
            options.address = tcp ? kDefaultProxyAddress : kDefaultSerialPort;
            options.number = tcp ? kDefaultProxyPort : kDefaultBaudRate;
        }
    }
    options.interfaceGiven = ok;
    options.interfaceText = text;
    return ok;
}

bool ParseOptions(int argc, char **argv, Options &options, std::string &message)
{
    options = Options{};
    for (int i = 0; i < argc; ++i) {
        if (i > 0)
            options.commandLine += ' ';
        options.commandLine += argv[i];
    }

    opterr = 0; // the messages are ours, on one line
    optind = 1;
    int c;
    int index = 0;
    while ((c = getopt_long(argc, argv, ":hV", kLongOptions, &index)) != -1) {
        std::string value = optarg != nullptr ? optarg : "";
        switch (c) {
        case 'h':
            options.help = true;
            break;
        case 'V':
            options.version = true;
            break;
        case OptListItems:
            options.listItems = true;
            break;
        case OptInterface:
            if (!ParseInterface(value, options, message))
                return false;
            break;
        case OptRun: {
            int row = FindMenuItem(MenuTable, value);
            if (row < 0) {
                message = "--run " + value + ": no such menu item (tuneprobe --list-items shows them)";
                return false;
            }
            options.items.push_back(row);
            options.itemTexts.push_back(value);
            break;
        }
        case OptNoPause:
            options.noPause = true;
            break;
        case OptLoadMode:
            if (value != "1" && value != "2") {
                message = "--load-mode " + value + ": the load mode must be 1 (from NVM) or 2 (from DDR)";
                return false;
            }
            options.loadMode = value == "1" ? 1 : 2;
            break;
        case OptDutId:
        case OptStation:
        case OptOperator:
        case OptFixture:
            if (value.empty()) {
                message = std::string("--") + kLongOptions[index].name + " needs a non-empty value";
                return false;
            }
            (c == OptDutId      ? options.dutId
             : c == OptStation  ? options.station
             : c == OptOperator ? options.operatorName
                                : options.fixture) = value;
            break;
        case OptMetadata:
            if (!ParseMetadata(value, options, message))
                return false;
            break;
        case OptConnectAttempts: {
            // Decimal, at most ten digits.
            uint64_t attempts = 0;
            if (!cmdline::ParseNumber(value, {.maxDigits = 10}, 1, kMaxConnectAttempts, attempts)) {
                message = "--connect-attempts " + value + ": the number of attempts must be a number from 1 to " +
                          std::to_string(kMaxConnectAttempts);
                return false;
            }
            options.connectAttempts = uint32_t(attempts);
            break;
        }
        case OptStore:
            if (value.empty()) {
                message = "--store needs a file name or a postgresql:// URL";
                return false;
            }
            options.storePath = value;
            break;
        case OptReport:
        case OptJunit:
        case OptLog:
        case OptLimits:
            if (value.empty()) {
                message = std::string("--") + kLongOptions[index].name + " needs a file name";
                return false;
            }
            (c == OptReport  ? options.reportPath
             : c == OptJunit ? options.junitPath
             : c == OptLog   ? options.logPath
                             : options.limitsPath) = value;
            break;
        case ':':
            message = std::string("option ") + argv[optind - 1] + " needs a value";
            return false;
        default:
            // optopt holds a short option's letter; for a long option (an
            // unknown one, or a value given to one that takes none) the
            // argument itself says it.
            if (optopt > 0 && optopt < 128)
                message = std::string("unknown option -") + static_cast<char>(optopt);
            else if (optopt != 0)
                message = std::string("option ") + argv[optind - 1] + " takes no value";
            else
                message = std::string("unknown option ") + argv[optind - 1];
            return false;
        }
    }
    if (optind < argc) {
        message = std::string("unexpected argument ") + argv[optind];
        return false;
    }
    if (options.items.empty()) {
        const char *needsRun = !options.reportPath.empty()   ? "--report"
                               : !options.junitPath.empty()  ? "--junit"
                               : !options.limitsPath.empty() ? "--limits"
                               : !options.storePath.empty()  ? "--store"
                                                             : nullptr;
        if (needsRun != nullptr) {
            message = std::string(needsRun) + " needs --run ITEM";
            return false;
        }
    }
    return true;
}

const char *UsageText()
{
    // The link's numbers come from its rules, so that the text cannot drift from them.
    static const std::string text = [] {
        std::size_t count = 0;
        const uint32_t *rates = linkrules::BaudRates(count);
        char link[512];
        std::snprintf(link, sizeof link,
                      "                      tcp:ADDRESS[:PORT]   (dotted-decimal IPv4 address, port\n"
                      "                                           1 to %u, %u when left out)\n"
                      "                      serial:PORT[:BAUD]   (%u baud when left out; the rates\n"
                      "                                           the proxy can set, %u to %u, are\n"
                      "                                           listed in tuneprobe(1))\n",
                      unsigned(linkrules::kMaxBasePort), unsigned(linkrules::kDefaultPort),
                      unsigned(linkrules::kDefaultBaud), unsigned(rates[0]), unsigned(rates[count - 1]));
        return kUsageHead + std::string(link) + kUsageTail;
    }();
    return text.c_str();
}
