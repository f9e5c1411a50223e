// docksim program: serves one link until told to stop. `docksim --help`
// and docksim(1) describe the modes, options and standard input commands.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>

#include "docksim/capture.h"
#include "cmdline/numbers.h"
#include "docksim/docksim.h"
#include "docksim/modem_host.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;

void OnSignal(int)
{
    g_interrupted = 1;
}

constexpr uint64_t kDefaultPort = 5000;
constexpr uint64_t kMaxRate = 100000;
// A burst this long already outlasts any test; a typo of more is refused.
constexpr uint64_t kMaxBurst = 100000000;

const char kHelp[] = "usage: docksim tcp [--port PORT] [OPTION]...\n"
                     "       docksim serial [--tty PATH] [OPTION]...\n"
                     "\n"
                     "Stands in for the target-side proxy, the peer of ferrylink: acknowledges\n"
                     "the device open, answers remote reads from a simulated memory that remote\n"
                     "writes change, and sends data messages on demand or at a rate. With\n"
                     "--modem it also hosts the simulated modem that tuneprobe reaches through\n"
                     "ferrylink.\n"
                     "\n"
                     "Links:\n"
                     "  tcp      listen on 127.0.0.1: commands on PORT, notifications and data\n"
                     "           messages on PORT + 10; a new connection replaces the old one\n"
                     "  serial   serve a new pseudo-terminal (its name is printed) or --tty PATH\n"
                     "\n"
                     "Options:\n"
                     "  --port PORT      base port, 1 to 65525 (default 5000); 0 picks a free pair\n"
                     "  --tty PATH       serve this terminal device instead of a new pseudo-terminal\n"
                     "  --mode MODE      misbehave (default none):\n"
                     "                     none           behave\n"
                     "                     bad-signature  replies and data messages carry a wrong signature\n"
                     "                     huge-length    ... claim 0xFFFFFFF0 bytes, then TCP ends\n"
                     "                     short-length   ... claim 2 bytes: just the command type\n"
                     "                     truncated      ... stop halfway, then TCP ends\n"
                     "                     silent         acknowledge the open, answer no read\n"
                     "                                    (and, with --modem, no request)\n"
                     "                     no-ack         never acknowledge the open\n"
                     "                     wrong-ack      acknowledge the open with command type 5\n"
                     "                     drop           end the link right after the acknowledgement\n"
                     "  --rate HZ        send HZ data messages a second, 0 to 100000 (default 0)\n"
                     "  --size BYTES     their payload size, 0 to 8187 (default 16)\n"
                     "  --capture FILE   write what is sent and received to FILE as pcap\n"
                     "                   (TCP as IPv4 frames, serial as link type USER0)\n"
                     "  --modem          host the simulated modem: answer the calibration requests\n"
                     "                   of CALSIM_PROXY=1 tuneprobe (interface 1 or 2); CALSIM_FAULTS,\n"
                     "                   CALSIM_SEED, CALSIM_TEMPERATURE and CALSIM_DEVDATA_DUMP\n"
                     "                   apply here\n"
                     "  --modem-version N  speak calibration link version N, 1 to 65535 (default 1)\n"
                     "  --at OP[/SKIP]   with --modem and --mode silent or drop: behave until the\n"
                     "                   request for operation OP (after SKIP of them), then fall\n"
                     "                   silent from it on, or end the link at it (once)\n"
                     "  -v, --verbose    log connections, handshakes, requests and data messages\n"
                     "                   to standard error, one timestamped line each\n"
                     "  -h, --help       show this help and exit\n"
                     "  --version        show the version and exit\n"
                     "\n"
                     "Commands on standard input, one a line:\n"
                     "  send BYTES         one data message of BYTES payload bytes (at most 8187)\n"
                     "  burst BYTES COUNT  COUNT data messages of BYTES bytes, as fast as taken\n"
                     "  drop               end the connections (serial: the line, for good)\n"
                     "  quit               exit\n"
                     "At the end of standard input docksim serves on until SIGINT or SIGTERM.\n"
                     "\n"
                     "Exit status: 0 quit or signal, 1 could not start, 2 usage error.\n";

// One line on standard error and the usage-error status.
int UsageError(const std::string &text)
{
    std::fprintf(stderr, "docksim: %s\n", text.c_str());
    return 2;
}

// The next word of a command as a whole number up to max ("12junk" and
// "-1" are not one).
bool NextNumber(std::istringstream &words, uint64_t max, uint64_t &value)
{
    std::string word;
    return static_cast<bool>(words >> word) && cmdline::ParseNumber(word, cmdline::kDecimal, 0, max, value);
}

// A -v line: docksim, the wall-clock time to the millisecond, the event.
void LogLine(const std::string &text)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::fprintf(stderr, "docksim: %s.%03ld %s\n", stamp, now.tv_nsec / 1000000, text.c_str());
}

// Reads a payload size for send and burst; false, with a message, when
// ferrylink could never take it.
bool PayloadSize(std::istringstream &words, const char *verb, size_t &size)
{
    uint64_t value = 0;
    if (!NextNumber(words, UINT64_MAX, value)) {
        std::fprintf(stderr, "docksim: %s: BYTES must be a number of bytes\n", verb);
        return false;
    }
    if (value > docksim::kMaxDataPayload) {
        std::fprintf(stderr, "docksim: %s: at most %zu payload bytes (ferrylink drops longer data messages)\n", verb,
                     docksim::kMaxDataPayload);
        return false;
    }
    size = size_t(value);
    return true;
}

// Acts on one line typed on standard input; false on "quit".
bool RunCommand(docksim::DockSim &sim, const std::string &line)
{
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    size_t size = 0;
    if (verb == "send") {
        if (!PayloadSize(words, "send", size))
            return true;
        std::vector<uint8_t> payload(size);
        for (size_t i = 0; i < size; ++i)
            payload[i] = uint8_t(i);
        sim.SendDataMessage(payload);
    } else if (verb == "burst") {
        uint64_t count = 0;
        if (!PayloadSize(words, "burst", size))
            return true;
        if (!NextNumber(words, kMaxBurst, count)) {
            std::fprintf(stderr, "docksim: burst: COUNT must be a number of messages up to %llu\n",
                         static_cast<unsigned long long>(kMaxBurst));
            return true;
        }
        sim.SendDataBurst(size, count);
    } else if (verb == "drop") {
        sim.DropConnections();
    } else if (verb == "quit") {
        return false;
    } else if (!verb.empty()) {
        std::fprintf(stderr, "docksim: unknown command: %s\n", line.c_str());
    }
    return true;
}

struct Settings {
    bool serial = false;
    bool verbose = false;
    uint64_t port = kDefaultPort;
    std::string tty;
    std::string capture;
    docksim::Options options;
    bool modem = false;
    docksim::ModemSettings modemSettings;
    std::string at;
};

// getopt_long's codes for the long options; -h and -v are their letters.
enum LongOption {
    OptPort = 256,
    OptTty,
    OptMode,
    OptRate,
    OptSize,
    OptCapture,
    OptModem,
    OptModemVersion,
    OptAt,
    OptVerbose,
    OptHelp,
    OptVersion,
};

const option kLongOptions[] = {
    {"port", required_argument, nullptr, OptPort},
    {"tty", required_argument, nullptr, OptTty},
    {"mode", required_argument, nullptr, OptMode},
    {"rate", required_argument, nullptr, OptRate},
    {"size", required_argument, nullptr, OptSize},
    {"capture", required_argument, nullptr, OptCapture},
    {"modem", no_argument, nullptr, OptModem},
    {"modem-version", required_argument, nullptr, OptModemVersion},
    {"at", required_argument, nullptr, OptAt},
    {"verbose", no_argument, nullptr, OptVerbose},
    {"help", no_argument, nullptr, OptHelp},
    {"version", no_argument, nullptr, OptVersion},
    {nullptr, 0, nullptr, 0},
};

// "-": the words come back in order (code 1) and argv stays as it is, so
// that the link is argv[1]; ":": the messages are ours.
const char kShortOptions[] = "-:hv";

// An option as messages name it, from getopt_long's code for it.
std::string OptionName(int code)
{
    for (const option &o : kLongOptions) {
        if (o.name != nullptr && o.val == code)
            return std::string("--") + o.name;
    }
    return std::string("-") + char(code);
}

// Checks and stores the value of an option that takes one; false with the
// usage message when it is bad.
bool TakeValue(int code, const std::string &value, Settings &settings, std::string &message)
{
    uint64_t number = 0;
    switch (code) {
    case OptPort:
        if (!cmdline::ParseNumber(value, cmdline::kDecimal, 0, docksim::kMaxBasePort, number)) {
            message = "--port: '" + value +
                      "' is not a base port from 1 to 65525 (its notification port is 10 above), or 0 for a free pair";
            return false;
        }
        settings.port = number;
        break;
    case OptTty:
        settings.tty = value;
        break;
    case OptMode:
        if (!docksim::ParseHostile(value, settings.options.hostile)) {
            message = "--mode: unknown mode '" + value +
                      "' (none, bad-signature, huge-length, short-length, truncated, silent, no-ack, wrong-ack, drop)";
            return false;
        }
        break;
    case OptRate:
        if (!cmdline::ParseNumber(value, cmdline::kDecimal, 0, kMaxRate, number)) {
            message = "--rate: '" + value + "' is not a number from 0 to 100000";
            return false;
        }
        settings.options.rateHz = unsigned(number);
        break;
    case OptSize:
        if (!cmdline::ParseNumber(value, cmdline::kDecimal, 0, docksim::kMaxDataPayload, number)) {
            message = "--size: '" + value + "' is not a number from 0 to 8187 (ferrylink drops longer data messages)";
            return false;
        }
        settings.options.messageSize = size_t(number);
        break;
    case OptModemVersion:
        if (!cmdline::ParseNumber(value, cmdline::kDecimal, 1, 65535, number)) {
            message = "--modem-version: '" + value + "' is not a version from 1 to 65535";
            return false;
        }
        settings.modemSettings.version = uint16_t(number);
        break;
    case OptAt:
        if (!docksim::ParseFaultAt(value, settings.modemSettings)) {
            message = "--at: '" + value + "' is not OPERATION[/SKIP] with the name of a calibration operation";
            return false;
        }
        settings.at = value;
        break;
    case OptCapture:
        settings.capture = value;
        break;
    }
    return true;
}

// Fills settings from the command line; 0 to go on, -1 after --help or
// --version, or the usage-error status. --help and --version count
// wherever they stand; then the link, which comes first; then the first
// bad option, value or word.
int ParseArguments(int argc, char **argv, Settings &settings)
{
    bool help = false;
    bool version = false;
    std::string problem;
    opterr = 0;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        std::string message;
        switch (c) {
        case 'h':
        case OptHelp:
            help = true;
            break;
        case OptVersion:
            version = true;
            break;
        case 'v':
        case OptVerbose:
            settings.verbose = true;
            break;
        case OptModem:
            settings.modem = true;
            break;
        case 1:
            if (optind - 1 != 1) // the link is argv[1], checked below
                message = "unknown option '" + std::string(optarg) + "' (docksim --help lists the options)";
            break;
        case ':':
            message = OptionName(optopt) + " needs a value";
            break;
        case '?':
            // A short option by its letter; a long one as it was written.
            message = "unknown option '" +
                      (optopt > 0 && optopt < OptPort ? OptionName(optopt) : std::string(argv[optind - 1])) +
                      "' (docksim --help lists the options)";
            break;
        default:
            TakeValue(c, optarg, settings, message);
            break;
        }
        if (problem.empty())
            problem = message;
    }
    // Whatever follows "--" is words, and out of place.
    if (problem.empty() && optind < argc)
        problem = "unknown option '" + std::string(argv[optind]) + "' (docksim --help lists the options)";
    if (help) {
        std::fputs(kHelp, stdout);
        return -1;
    }
    if (version) {
        std::printf("docksim %s\n", DOCKSIM_VERSION);
        return -1;
    }
    if (argc < 2)
        return UsageError("no link given: tcp or serial (docksim --help tells more)");
    std::string kind = argv[1];
    if (kind != "tcp" && kind != "serial")
        return UsageError("unknown link '" + kind + "': tcp or serial (docksim --help tells more)");
    settings.serial = kind == "serial";
    if (!problem.empty())
        return UsageError(problem);
    bool modemOnly = settings.modemSettings.version != calwire::kVersion || !settings.at.empty();
    if (modemOnly && !settings.modem)
        return UsageError("--modem-version and --at need --modem");
    if (!settings.at.empty()) {
        docksim::Hostile mode = settings.options.hostile;
        if (mode != docksim::Hostile::Silent && mode != docksim::Hostile::Drop)
            return UsageError("--at needs --mode silent or --mode drop");
        // The modem misbehaves from that request on; the link behaves until then.
        settings.modemSettings.fault =
            mode == docksim::Hostile::Silent ? docksim::ModemFault::Silent : docksim::ModemFault::Drop;
        settings.options.hostile = docksim::Hostile::None;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Settings settings;
    int parsed = ParseArguments(argc, argv, settings);
    if (parsed != 0)
        return parsed < 0 ? 0 : parsed;
    docksim::Options &options = settings.options;
    options.record = false; // nobody reads them back here
    if (settings.verbose)
        options.log = LogLine;

    // Declared before the emulator, so that it outlives it and sees the
    // connections end.
    std::unique_ptr<docksim::Capture> capture;
    std::string error;
    if (!settings.capture.empty()) {
        capture = docksim::Capture::Create(settings.capture, settings.serial, &error);
        if (!capture) {
            std::fprintf(stderr, "docksim: cannot start: %s\n", error.c_str());
            return 1;
        }
        options.capture = capture.get();
    }

    // Declared before the emulator, whose thread calls it.
    docksim::ModemHost modem(settings.modemSettings);
    if (settings.modem)
        options.answerData = [&modem](const std::vector<uint8_t> &message) {
            docksim::ModemHost::Reply reply = modem.Take(message);
            return docksim::DataReply{std::move(reply.messages), reply.drop, std::move(reply.log)};
        };

    std::unique_ptr<docksim::DockSim> sim;
    if (!settings.serial) {
        sim = settings.port == 0 ? docksim::DockSim::ListenTcpAny(options, &error)
                                 : docksim::DockSim::ListenTcp(uint16_t(settings.port), options, &error);
        if (sim)
            std::printf("docksim: listening on 127.0.0.1 ports %u and %u\n", unsigned(sim->BasePort()),
                        unsigned(sim->BasePort()) + 10);
    } else {
        sim = settings.tty.empty() ? docksim::DockSim::ServePty(options, &error)
                                   : docksim::DockSim::ServeTty(settings.tty, options, &error);
        if (sim)
            std::printf("docksim: serial line %s\n", sim->TtyName().c_str());
    }
    if (!sim || (capture && !capture->Commit(&error))) {
        std::fprintf(stderr, "docksim: cannot start: %s\n", error.c_str());
        return 1;
    }
    std::fflush(stdout);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    bool reading = true;
    bool quit = false;
    std::string pending;
    while (!g_interrupted && !quit) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, reading ? 1 : 0, 200) <= 0 || !reading)
            continue;
        char chunk[256];
        ssize_t r = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (r <= 0) {
            reading = false; // no more commands; serve until interrupted
            continue;
        }
        pending.append(chunk, size_t(r));
        size_t newline;
        while (!quit && (newline = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            quit = !RunCommand(*sim, line);
        }
    }
    // Stopped first, so that the count is final.
    sim->Stop();
    docksim::RateTotals rate = sim->Rate();
    if (rate.dropped > 0)
        std::fprintf(
            stderr, "docksim: --rate: %llu of %llu data messages dropped: the host did not take them in time\n",
            static_cast<unsigned long long>(rate.dropped), static_cast<unsigned long long>(rate.sent + rate.dropped));
    return 0;
}
