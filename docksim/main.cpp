// docksim program: serves one link until interrupted.
//
//   docksim tcp [--port P] [options]        listens on 127.0.0.1:P and P + 10
//   docksim serial [--tty PATH] [options]   serves PATH, or a new pty it names
//
// options: --mode none|bad-signature|huge-length|short-length|truncated|
//                 silent|no-ack|wrong-ack|drop
//          --rate HZ --size BYTES           data messages sent on their own
//
// Lines on standard input act on demand: "send BYTES", "burst BYTES COUNT",
// "drop", "quit".
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "docksim.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;

void OnSignal(int)
{
    g_interrupted = 1;
}

int Usage()
{
    std::fprintf(stderr, "usage: docksim tcp [--port P] | serial [--tty PATH]\n"
                         "       [--mode MODE] [--rate HZ] [--size BYTES]\n");
    return 2;
}

bool ParseNumber(const char *text, unsigned long max, unsigned long &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value <= max;
}

// Acts on one line typed on standard input; false on "quit".
bool RunCommand(docksim::DockSim &sim, const std::string &line)
{
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    size_t size = 0;
    uint64_t count = 0;
    if (verb == "send" && words >> size && size <= 8192) {
        std::vector<uint8_t> payload(size);
        for (size_t i = 0; i < size; ++i)
            payload[i] = uint8_t(i);
        sim.SendDataMessage(payload);
    } else if (verb == "burst" && words >> size >> count && size <= 8192) {
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

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    std::string kind = argv[1];
    docksim::Options options;
    unsigned long port = 5000;
    std::string tty;
    for (int i = 2; i < argc; ++i) {
        std::string flag = argv[i];
        if (i + 1 >= argc)
            return Usage();
        const char *value = argv[++i];
        unsigned long number = 0;
        if (flag == "--port" && ParseNumber(value, 65535, number)) {
            port = number;
        } else if (flag == "--tty") {
            tty = value;
        } else if (flag == "--mode" && docksim::ParseHostile(value, options.hostile)) {
        } else if (flag == "--rate" && ParseNumber(value, 100000, number)) {
            options.rateHz = unsigned(number);
        } else if (flag == "--size" && ParseNumber(value, 8192, number)) {
            options.messageSize = number;
        } else {
            return Usage();
        }
    }
    options.record = false; // nobody reads them back here

    std::unique_ptr<docksim::DockSim> sim;
    if (kind == "tcp") {
        sim = docksim::DockSim::ListenTcp(uint16_t(port), options);
        if (sim)
            std::printf("docksim: listening on 127.0.0.1 ports %lu and %lu\n", port, (port + 10) & 0xFFFF);
    } else if (kind == "serial") {
        sim = tty.empty() ? docksim::DockSim::ServePty(options) : docksim::DockSim::ServeTty(tty, options);
        if (sim)
            std::printf("docksim: serial line %s\n", sim->TtyName().c_str());
    } else {
        return Usage();
    }
    if (!sim) {
        std::fprintf(stderr, "docksim: cannot start: %s\n", std::strerror(errno));
        return 1;
    }
    std::fflush(stdout);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    bool reading = true;
    std::string pending;
    while (!g_interrupted) {
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
        while ((newline = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            if (!RunCommand(*sim, line))
                return 0;
        }
    }
    return 0;
}
