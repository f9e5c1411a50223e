#include "tuneprobe/options.h"

#include "tuneprobe/menu.h"
#include "tuneprobe/menu_items.h"
#include "tuneprobe/startup.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <getopt.h>

namespace {

enum LongOnly {
    kOptInterface = 256,
    kOptRun,
    kOptNoPause,
    kOptLoadMode,
    kOptDutId,
    kOptStation,
    kOptReport,
    kOptJunit,
    kOptLog,
    kOptListItems,
    kOptOperator,
    kOptFixture,
    kOptMetadata,
    kOptLimits,
    kOptConnectAttempts,
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"interface", required_argument, nullptr, kOptInterface},
    {"run", required_argument, nullptr, kOptRun},
    {"no-pause", no_argument, nullptr, kOptNoPause},
    {"load-mode", required_argument, nullptr, kOptLoadMode},
    {"dut-id", required_argument, nullptr, kOptDutId},
    {"station", required_argument, nullptr, kOptStation},
    {"report", required_argument, nullptr, kOptReport},
    {"junit", required_argument, nullptr, kOptJunit},
    {"log", required_argument, nullptr, kOptLog},
    {"list-items", no_argument, nullptr, kOptListItems},
    {"operator", required_argument, nullptr, kOptOperator},
    {"fixture", required_argument, nullptr, kOptFixture},
    {"metadata", required_argument, nullptr, kOptMetadata},
    {"limits", required_argument, nullptr, kOptLimits},
    {"connect-attempts", required_argument, nullptr, kOptConnectAttempts},
    {nullptr, 0, nullptr, 0},
};

// A whole decimal number of at most ten digits, within [low, high].
bool ParseNumber(const std::string &text, unsigned long low, unsigned long high, uint32_t &value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v < low || v > high)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// Four decimal numbers from 0 to 255 joined by dots, as the proxy takes an
// address: no names, no shortened forms ("127.1"), no leading zeros (which
// some readers take for octal).
bool DottedDecimal(const std::string &text)
{
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t end = part < 3 ? text.find('.', start) : text.size();
        if (end == std::string::npos)
            return false;
        std::string octet = text.substr(start, end - start);
        if (octet.empty() || octet.size() > 3 || octet.find_first_not_of("0123456789") != std::string::npos ||
            (octet.size() > 1 && octet[0] == '0') || std::stoi(octet) > 255)
            return false;
        start = end + 1;
    }
    return true;
}

// Splits "NAME[:NUMBER]" at its last colon when what follows is digits only,
// so that a serial port name may hold colons of its own.
void SplitTrailingNumber(const std::string &text, std::string &name, std::string &number, bool &hasNumber)
{
    std::size_t colon = text.rfind(':');
    hasNumber = colon != std::string::npos && colon + 1 < text.size() &&
                text.find_first_not_of("0123456789", colon + 1) == std::string::npos;
    if (colon != std::string::npos && colon + 1 == text.size()) {
        // "NAME:" has an empty number: refused below as a malformed number.
        name = text.substr(0, colon);
        number = "";
        hasNumber = true;
        return;
    }
    name = hasNumber ? text.substr(0, colon) : text;
    number = hasNumber ? text.substr(colon + 1) : "";
}

bool ParseTcp(const std::string &rest, bool bare, Options &options, std::string &message)
{
    options.interfaceType = 1;
    if (bare) {
        options.address = kDefaultProxyAddress;
        options.number = kDefaultProxyPort;
        return true;
    }
    std::size_t colon = rest.find(':');
    options.address = rest.substr(0, colon);
    options.number = kDefaultProxyPort;
    if (options.address.empty()) {
        message = "the address is missing";
        return false;
    }
    if (options.address.size() > kAddressFieldLength) {
        message = "the address is longer than " + std::to_string(kAddressFieldLength) + " characters";
        return false;
    }
    if (!DottedDecimal(options.address)) {
        message = "the address must be an IPv4 address in dotted-decimal form (names are not looked up)";
        return false;
    }
    if (colon != std::string::npos &&
        !ParseNumber(rest.substr(colon + 1), kMinPort, kMaxProxyBasePort, options.number)) {
        message = "the TCP port must be a number from " + std::to_string(kMinPort) + " to " +
                  std::to_string(kMaxProxyBasePort) + " (the proxy also uses the port + 10)";
        return false;
    }
    return true;
}

bool ParseSerial(const std::string &rest, bool bare, Options &options, std::string &message)
{
    options.interfaceType = 2;
    if (bare) {
        options.address = kDefaultSerialPort;
        options.number = kDefaultBaudRate;
        return true;
    }
    std::string number;
    bool hasNumber = false;
    SplitTrailingNumber(rest, options.address, number, hasNumber);
    options.number = kDefaultBaudRate;
    if (options.address.empty()) {
        message = "the serial port name is missing";
        return false;
    }
    if (options.address.size() > kSerialNameFieldLength) {
        message = "the serial port name is longer than " + std::to_string(kSerialNameFieldLength) + " characters";
        return false;
    }
    if (hasNumber && !ParseNumber(number, 1, UINT32_MAX, options.number)) {
        message = "the baud rate must be a number from 1 to 4294967295";
        return false;
    }
    return true;
}

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

} // namespace

bool ParseInterface(const std::string &text, Options &options, std::string &message)
{
    bool ok = false;
    if (text == "local") {
        options.interfaceType = 0;
        options.address.clear();
        options.number = 0;
        ok = true;
    } else if (text == "tcp" || text.starts_with("tcp:")) {
        ok = ParseTcp(text.size() > 4 ? text.substr(4) : "", text == "tcp", options, message);
    } else if (text == "serial" || text.starts_with("serial:")) {
        ok = ParseSerial(text.size() > 7 ? text.substr(7) : "", text == "serial", options, message);
    } else {
        message = "expected local, tcp:ADDRESS[:PORT] or serial:PORT[:BAUD]";
    }
    if (!ok)
        message = "--interface " + text + ": " + message;
    options.interfaceGiven = ok;
    options.interfaceText = text;
    return ok;
}

bool ParseOptions(int argc, char **argv, Options &options, std::string &message)
{
    options = Options{};
    for (int i = 0; i < argc; ++i)
        options.commandLine += (i == 0 ? "" : " ") + std::string(argv[i]);

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
        case kOptListItems:
            options.listItems = true;
            break;
        case kOptInterface:
            if (!ParseInterface(value, options, message))
                return false;
            break;
        case kOptRun: {
            int row = FindMenuItem(MenuTable, value);
            if (row < 0) {
                message = "--run " + value + ": no such menu item (tuneprobe --list-items shows them)";
                return false;
            }
            options.items.push_back(row);
            options.itemTexts.push_back(value);
            break;
        }
        case kOptNoPause:
            options.noPause = true;
            break;
        case kOptLoadMode:
            if (value != "1" && value != "2") {
                message = "--load-mode " + value + ": the load mode must be 1 (from NVM) or 2 (from DDR)";
                return false;
            }
            options.loadMode = value == "1" ? 1 : 2;
            break;
        case kOptDutId:
        case kOptStation:
        case kOptOperator:
        case kOptFixture:
            if (value.empty()) {
                message = std::string("--") + kLongOptions[index].name + " needs a non-empty value";
                return false;
            }
            (c == kOptDutId      ? options.dutId
             : c == kOptStation  ? options.station
             : c == kOptOperator ? options.operatorName
                                 : options.fixture) = value;
            break;
        case kOptMetadata:
            if (!ParseMetadata(value, options, message))
                return false;
            break;
        case kOptConnectAttempts:
            if (!ParseNumber(value, 1, kMaxConnectAttempts, options.connectAttempts)) {
                message = "--connect-attempts " + value + ": the number of attempts must be a number from 1 to " +
                          std::to_string(kMaxConnectAttempts);
                return false;
            }
            break;
        case kOptReport:
        case kOptJunit:
        case kOptLog:
        case kOptLimits:
            if (value.empty()) {
                message = std::string("--") + kLongOptions[index].name + " needs a file name";
                return false;
            }
            (c == kOptReport  ? options.reportPath
             : c == kOptJunit ? options.junitPath
             : c == kOptLog   ? options.logPath
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
    return R"(Usage: tuneprobe [OPTION]...
The operator's console of the calibration library. Without options it asks
for the interface and shows the menu; the options below run menu items
unattended and write their results as data.

  --interface IF    skip the interface dialogue; IF is one of
                      local
                      tcp:ADDRESS[:PORT]   (dotted-decimal IPv4 address, port
                                           1 to 65525, 2800 when left out)
                      serial:PORT[:BAUD]   (115200 baud when left out)
                      tcp, serial          (the dialogue's defaults)
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
       file, log, standard output) not written (retest)
  64   usage error (nothing was opened); also a report, log or JUnit file
       that another run is writing
  130  interrupted (SIGINT); 143 terminated (SIGTERM); 129 hung up (SIGHUP);
       141 standard output closed (SIGPIPE)

Example, the automated test with no input at all:
  tuneprobe --interface local --run 9.2 --no-pause --load-mode 1 \
            --dut-id U1 --report u1.jsonl --junit u1.xml < /dev/null
)";
}
