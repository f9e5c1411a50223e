// A ferrylink host for the capture tests: opens a link to docksim, runs the
// requests named on the command line in order and prints what came back,
// one line each, so that a test can compare the capture with it.
//
//   ferry_client tcp PORT | serial TTY  COMMAND...
//     read ADDR COUNT      rdmremote; prints "read ADDR COUNT RC HEX"
//     write ADDR VALUE     wrmremote; prints "write ADDR VALUE RC"
//     send TYPE HEX        SendDataMessage; prints "send TYPE RC"
//     expect N             waits up to 5 s for N data messages in all;
//                          prints "message HEX" for each
// Exit status: 0 when every call succeeded, 1 otherwise, 2 usage.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <ferrylink.h>

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<std::vector<uint8_t>> g_messages;

int32_t OnMessage(int32_t, const uint8_t *payload, int32_t length)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_messages.emplace_back(payload, payload + (length > 0 ? length : 0));
    g_changed.notify_all();
    return 0;
}

std::string Hex(const uint8_t *bytes, size_t n)
{
    std::string text;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        text += two;
    }
    return text.empty() ? "-" : text;
}

std::vector<uint8_t> FromHex(const char *text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; text[i] != '\0' && text[i + 1] != '\0'; i += 2) {
        char two[3] = {text[i], text[i + 1], '\0'};
        bytes.push_back(uint8_t(std::strtoul(two, nullptr, 16)));
    }
    return bytes;
}

uint32_t Number(const char *text)
{
    return uint32_t(std::strtoul(text, nullptr, 0));
}

// Closes the port however the run ends.
struct OpenPort {
    ~OpenPort() { CloseCommunicationPort(); }
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: ferry_client tcp PORT | serial TTY COMMAND...\n");
        return 2;
    }
    FerryOpenRecord record{};
    bool serial = std::strcmp(argv[1], "serial") == 0;
    record.transport = serial ? FERRYLINK_TRANSPORT_SERIAL : FERRYLINK_TRANSPORT_TCP;
    std::snprintf(record.text, sizeof record.text, "%s", serial ? argv[2] : "127.0.0.1");
    record.number = serial ? 115200 : Number(argv[2]);
    if (OpenCommunicatonPort(&record) != 1) {
        std::printf("open failed\n");
        return 1;
    }
    OpenPort port;
    RegisterCallbackForProxy(OnMessage);
    bool ok = true;
    size_t shown = 0;
    for (int i = 3; i < argc; ++i) {
        std::string verb = argv[i];
        if (verb == "read" && i + 2 < argc) {
            uint32_t address = Number(argv[i + 1]);
            uint32_t count = Number(argv[i + 2]);
            std::vector<uint8_t> out(count);
            int32_t rc = rdmremote(address, out.data(), count);
            std::printf("read 0x%08x %u %d %s\n", unsigned(address), unsigned(count), int(rc),
                        Hex(out.data(), out.size()).c_str());
            ok = ok && rc == 0;
            i += 2;
        } else if (verb == "write" && i + 2 < argc) {
            uint32_t address = Number(argv[i + 1]);
            uint32_t value = Number(argv[i + 2]);
            int32_t rc = wrmremote(address, &value);
            std::printf("write 0x%08x 0x%08x %d\n", unsigned(address), unsigned(value), int(rc));
            ok = ok && rc == 0;
            i += 2;
        } else if (verb == "send" && i + 2 < argc) {
            std::vector<uint8_t> data = FromHex(argv[i + 2]);
            int32_t rc = SendDataMessage(data.data(), int32_t(data.size()), int32_t(Number(argv[i + 1])));
            std::printf("send %s %d\n", argv[i + 1], int(rc));
            ok = ok && rc == 0;
            i += 2;
        } else if (verb == "expect" && i + 1 < argc) {
            size_t want = Number(argv[i + 1]);
            std::unique_lock<std::mutex> lock(g_mutex);
            ok = g_changed.wait_for(lock, std::chrono::seconds(5), [&] { return g_messages.size() >= want; }) && ok;
            for (; shown < g_messages.size(); ++shown)
                std::printf("message %s\n", Hex(g_messages[shown].data(), g_messages[shown].size()).c_str());
            i += 1;
        } else {
            std::fprintf(stderr, "ferry_client: bad command at '%s'\n", argv[i]);
            return 2;
        }
        std::fflush(stdout);
    }
    return ok ? 0 : 1;
}
