// docksim program: serves one link until told to stop. `docksim --help`
// and docksim(1) describe the modes, options and standard input commands.
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "capture.h"
#include "docksim.h"
#include "modem_host.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;

void OnSignal(int)
{
    g_interrupted = 1;
}

constexpr unsigned long kDefaultPort = 5000;
constexpr unsigned long kMaxRate = 100000;
// A burst this long already outlasts any test; a typo of more is refused.
constexpr unsigned long kMaxBurst = 100000000;

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

bool ParseNumber(const char *text, unsigned long max, unsigned long &value)
{
    char *end = nullptr;
    errno = 0;
    // Digits only: strtoul alone would take " 5000", "+5000" and "-1".
    if (std::isdigit(static_cast<unsigned char>(text[0])) == 0)
        return false;
    value = std::strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' && value <= max;
}

// The next word of a command as a whole number up to max ("12junk" and
// "-1" are not one).
bool NextNumber(std::istringstream &words, unsigned long max, unsigned long &value)
{
    std::string word;
    return static_cast<bool>(words >> word) && ParseNumber(word.c_str(), max, value);
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
    unsigned long value = 0;
    if (!NextNumber(words, ULONG_MAX, value)) {
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
        unsigned long count = 0;
        if (!PayloadSize(words, "burst", size))
            return true;
        if (!NextNumber(words, kMaxBurst, count)) {
            std::fprintf(stderr, "docksim: burst: COUNT must be a number of messages up to %lu\n", kMaxBurst);
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
    unsigned long port = kDefaultPort;
    std::string tty;
    std::string capture;
    docksim::Options options;
    bool modem = false;
    docksim::ModemSettings modemSettings;
    std::string at;
};

// Fills settings from the command line; 0 to go on, -1 after --help, or
// the usage-error status.
int ParseArguments(int argc, char **argv, Settings &settings)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelp, stdout);
            return -1;
        }
    }
    if (argc < 2)
        return UsageError("no link given: tcp or serial (docksim --help tells more)");
    std::string kind = argv[1];
    if (kind != "tcp" && kind != "serial")
        return UsageError("unknown link '" + kind + "': tcp or serial (docksim --help tells more)");
    settings.serial = kind == "serial";
    for (int i = 2; i < argc; ++i) {
        std::string flag = argv[i];
        if (flag == "-v" || flag == "--verbose") {
            settings.verbose = true;
            continue;
        }
        if (flag == "--modem") {
            settings.modem = true;
            continue;
        }
        bool known = flag == "--port" || flag == "--tty" || flag == "--mode" || flag == "--rate" || flag == "--size" ||
                     flag == "--capture" || flag == "--modem-version" || flag == "--at";
        if (!known)
            return UsageError("unknown option '" + flag + "' (docksim --help lists the options)");
        if (i + 1 >= argc)
            return UsageError(flag + " needs a value");
        const char *value = argv[++i];
        unsigned long number = 0;
        if (flag == "--port") {
            if (!ParseNumber(value, docksim::kMaxBasePort, number))
                return UsageError("--port: '" + std::string(value) +
                                  "' is not a base port from 1 to 65525 (its notification port is 10 above), "
                                  "or 0 for a free pair");
            settings.port = number;
        } else if (flag == "--tty") {
            settings.tty = value;
        } else if (flag == "--mode") {
            if (!docksim::ParseHostile(value, settings.options.hostile))
                return UsageError("--mode: unknown mode '" + std::string(value) +
                                  "' (none, bad-signature, huge-length, short-length, truncated, silent, no-ack, "
                                  "wrong-ack, drop)");
        } else if (flag == "--rate") {
            if (!ParseNumber(value, kMaxRate, number))
                return UsageError("--rate: '" + std::string(value) + "' is not a number from 0 to 100000");
            settings.options.rateHz = unsigned(number);
        } else if (flag == "--size") {
            if (!ParseNumber(value, docksim::kMaxDataPayload, number))
                return UsageError("--size: '" + std::string(value) +
                                  "' is not a number from 0 to 8187 (ferrylink drops longer data messages)");
            settings.options.messageSize = number;
        } else if (flag == "--modem-version") {
            if (!ParseNumber(value, 65535, number) || number == 0)
                return UsageError("--modem-version: '" + std::string(value) + "' is not a version from 1 to 65535");
            settings.modemSettings.version = uint16_t(number);
        } else if (flag == "--at") {
            if (!docksim::ParseFaultAt(value, settings.modemSettings))
                return UsageError("--at: '" + std::string(value) +
                                  "' is not OPERATION[/SKIP] with the name of a calibration operation");
            settings.at = value;
        } else {
            settings.capture = value;
        }
    }
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
