// The proxy mode's link: ferrylink loaded on first use, one session with
// the target, requests cut into data messages, answers joined on
// ferrylink's receive thread and awaited within a time limit.
#include "callib/proxy_client.h"

#include "calsim/model.h"
#include <ferrylink.h>
#include "linkrules/link_text.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace callib::proxy {
namespace {

constexpr unsigned kDefaultTimeoutMs = 10000; // ferrylink's own reply limit

// ferrylink, loaded only when the proxy mode is used: local use needs
// nothing beyond this library.
struct Ferrylink {
    decltype(&::OpenCommunicatonPort) open = nullptr;
    decltype(&::CloseCommunicationPort) close = nullptr;
    decltype(&::SendDataMessage) send = nullptr;
    decltype(&::RegisterCallbackForProxy) registerCallback = nullptr;
};

std::string OwnFolder()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void *>(&Requested), &info) == 0 || info.dli_fname == nullptr)
        return ".";
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Beside this library (the build tree), one folder up (installed, where
// this library sits in its private folder), then the system's search.
const Ferrylink *LoadFerrylink(const char **error)
{
    static Ferrylink ferrylink;
    static const char *failure = nullptr;
    static bool tried = false;
    if (!tried) {
        tried = true;
        std::string folder = OwnFolder();
        const std::string candidates[] = {folder + "/libferrylink.so.1", folder + "/../libferrylink.so.1",
                                          "libferrylink.so.1"};
        void *library = nullptr;
        for (const std::string &candidate : candidates) {
            library = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (library != nullptr)
                break;
        }
        if (library == nullptr) {
            const char *why = ::dlerror();
            failure = Textf("The proxy link library cannot be loaded: %s", why != nullptr ? why : "not found");
        } else {
            ferrylink.open = reinterpret_cast<decltype(ferrylink.open)>(::dlsym(library, "OpenCommunicatonPort"));
            ferrylink.close = reinterpret_cast<decltype(ferrylink.close)>(::dlsym(library, "CloseCommunicationPort"));
            ferrylink.send = reinterpret_cast<decltype(ferrylink.send)>(::dlsym(library, "SendDataMessage"));
            ferrylink.registerCallback =
                reinterpret_cast<decltype(ferrylink.registerCallback)>(::dlsym(library, "RegisterCallbackForProxy"));
            if (!ferrylink.open || !ferrylink.close || !ferrylink.send || !ferrylink.registerCallback)
                failure = "The proxy link library lacks its exports";
        }
    }
    *error = failure;
    return failure == nullptr ? &ferrylink : nullptr;
}

// Read at each GetCalInterface: the limit holds for that interface.
unsigned TimeoutMs()
{
    const char *text = std::getenv("CALSIM_PROXY_TIMEOUT_MS");
    unsigned long value = text != nullptr ? std::strtoul(text, nullptr, 10) : 0;
    return value > 0 && value <= 600000 ? unsigned(value) : kDefaultTimeoutMs;
}

// An eventfd the receive thread signals; waited on with poll, whose
// timeout is relative (a condition variable's absolute deadline would move
// with a program that shifts its clocks).
struct WakeFd {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~WakeFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    void Signal() const
    {
        uint64_t one = 1;
        if (::write(fd, &one, sizeof one) < 0) {
            // Already signalled past the counter's limit: the waiter wakes anyway.
        }
    }
    void Drain() const
    {
        uint64_t count = 0;
        if (::read(fd, &count, sizeof count) < 0) {
            // Nothing pending.
        }
    }
};

// What the receive thread has collected for the request awaited.
struct AnswerBox {
    std::mutex mutex;
    uint32_t awaited = 0; // 0: nothing awaited, every answer is stale
    calwire::Assembler assembler;
    bool complete = false;
    bool linkFailed = false;
    uint16_t version = calwire::kVersion;
    uint32_t joined = 0;   // fragments of the answer joined so far
    uint64_t progress = 0; // fragments joined: the time limit counts from the last
    WakeFd wake;
};

// Never destroyed: at exit a link left open may still deliver to it from
// ferrylink's thread.
AnswerBox &Box()
{
    static AnswerBox &box = *new AnswerBox;
    return box;
}

// Whether a fragment is the one the answer needs next: the first, or the
// next of the same message. A fragment sent again or out of order is left
// out: it would make the assembler start over, and a target repeating
// itself would hold the caller past the time limit.
bool NextFragment(const AnswerBox &box, const calwire::Header &header)
{
    if (header.index != box.joined)
        return false;
    const calwire::Header &head = box.assembler.Head();
    return header.index == 0 || (header.operation == head.operation && header.count == head.count);
}

int32_t OnMessage(int32_t, const uint8_t *payload, int32_t length)
{
    AnswerBox &box = Box();
    if (payload == nullptr || length < 0)
        return 0;
    // ferrylink's own notice that a send failed and the port closed.
    if (length == 4 && payload[0] == 12 && payload[1] == 0 && payload[2] == 2 && payload[3] == 0) {
        std::lock_guard<std::mutex> lock(box.mutex);
        box.linkFailed = true;
        box.wake.Signal();
        return 0;
    }
    calwire::Header header;
    if (!calwire::ReadHeader(payload, size_t(length), header) || header.subtype != calwire::kAnswer)
        return 0;
    std::lock_guard<std::mutex> lock(box.mutex);
    if (box.awaited == 0 || header.request != box.awaited || box.complete)
        return 0;
    if (header.version != calwire::kVersion) {
        box.version = header.version;
        box.complete = true;
    } else if (!NextFragment(box, header)) {
        return 0;
    } else if (box.assembler.Add(header, payload + calwire::kHeaderSize, size_t(length) - calwire::kHeaderSize)) {
        box.complete = true;
    } else if (box.assembler.Head().request != header.request) {
        box.joined = 0; // refused (too long): what was joined is gone
        return 0;
    } else {
        ++box.joined;
    }
    ++box.progress;
    box.wake.Signal();
    return 0;
}

enum class Outcome { Answered, TimedOut, LinkFailed, OtherVersion, Interrupted };

// Waits for the awaited answer; the limit starts again with every fragment
// joined. While nothing comes, a probe goes out every kProbeEveryMs: over
// TCP a target that has gone away then shows as a failed send at once.
Outcome AwaitAnswer(const Ferrylink &ferrylink, const calwire::Header &request, unsigned timeoutMs,
                    std::vector<uint8_t> &body, uint16_t &version)
{
    using Clock = std::chrono::steady_clock;
    constexpr long kProbeEveryMs = 200;
    AnswerBox &box = Box();
    const auto limit = std::chrono::milliseconds(timeoutMs);
    auto deadline = Clock::now() + limit;
    uint64_t seen = 0;
    calwire::Header probeHeader = request;
    probeHeader.subtype = calwire::kProbe;
    const std::vector<uint8_t> probe = calwire::Fragment(probeHeader, {}, calwire::kMaxRequestPiece).front();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(box.mutex);
            if (box.complete) {
                box.awaited = 0;
                version = box.version;
                if (version != calwire::kVersion)
                    return Outcome::OtherVersion;
                body = std::move(box.assembler.Body());
                box.assembler.Clear();
                return Outcome::Answered;
            }
            if (box.linkFailed) {
                box.awaited = 0;
                return Outcome::LinkFailed;
            }
            if (box.progress != seen) {
                seen = box.progress;
                deadline = Clock::now() + limit;
            }
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            std::lock_guard<std::mutex> lock(box.mutex);
            box.awaited = 0; // a late answer is dropped, never taken for the next one
            return Outcome::TimedOut;
        }
        pollfd p{box.wake.fd, POLLIN, 0};
        int ready = ::poll(&p, 1, int(std::min<long>(left, kProbeEveryMs)));
        if (ready > 0)
            box.wake.Drain();
        else if (ready == 0 && ferrylink.send(probe.data(), int32_t(probe.size()), 4) != 0)
            return Outcome::LinkFailed; // the port is closed; the notice came on this thread
        // A signal the program catches (the operator's Ctrl-C) ends the
        // wait, so that the program can act on it at once. The link is
        // closed then: a target that kept the program waiting would keep
        // the calls of its orderly end waiting too.
        if (ready < 0 && errno == EINTR) {
            std::lock_guard<std::mutex> lock(box.mutex);
            box.awaited = 0;
            return Outcome::Interrupted;
        }
    }
}

struct Session {
    uint32_t type = 0;
    std::string address;
    uint32_t number = 0;
    unsigned timeoutMs = kDefaultTimeoutMs; // for each answer
    bool up = false;                        // link open, target's interface open
    const char *down = nullptr;             // why not: what every call returns meanwhile
    uint32_t nextRequest = 1;
};

std::unique_ptr<Session> g_session;

void CloseLink()
{
    const char *error = nullptr;
    if (const Ferrylink *ferrylink = LoadFerrylink(&error))
        ferrylink->close();
    std::lock_guard<std::mutex> lock(Box().mutex);
    Box().awaited = 0;
    Box().linkFailed = false;
}

// Closes the link after a failure: the call that met it returns "What
// happened; the proxy link is closed", every later one (until ConnectDevice
// opens the link again) "The proxy link to the target is closed: what
// happened".
const char *LinkDown(const char *what)
{
    std::string later = what;
    if (!later.empty())
        later[0] = char(std::tolower(static_cast<unsigned char>(later[0])));
    if (g_session) {
        g_session->up = false;
        g_session->down = Textf("The proxy link to the target is closed: %s", later.c_str());
    }
    CloseLink();
    return Textf("%s; the proxy link is closed", what);
}

const char *NoLink(const Session &s)
{
    if (s.type == TAVREL_IF_ETHERNET_PROXY)
        return Textf("No proxy link to the target at %s port %u", s.address.c_str(), s.number);
    return Textf("No proxy link to the target on %s at %u baud", s.address.c_str(), s.number);
}

enum class Opened { Yes, Refused, NoLink };

// Opens ferrylink and the target's interface; *why tells what failed.
Opened Connect(Session &s, const char **why)
{
    const Ferrylink *ferrylink = LoadFerrylink(why);
    if (ferrylink == nullptr) {
        s.down = *why;
        return Opened::NoLink;
    }
    ferrylink->close(); // whatever an earlier session left
    FerryOpenRecord record{};
    record.transport = s.type == TAVREL_IF_ETHERNET_PROXY ? FERRYLINK_TRANSPORT_TCP : FERRYLINK_TRANSPORT_SERIAL;
    std::strncpy(record.text, s.address.c_str(), sizeof record.text - 1);
    record.number = s.number;
    {
        std::lock_guard<std::mutex> lock(Box().mutex);
        Box().linkFailed = false;
        Box().awaited = 0;
    }
    // The callback goes in before any request; the target sends nothing
    // unasked, so every answer finds it there.
    if (ferrylink->open(&record) != 1 || ferrylink->registerCallback(OnMessage) != 0) {
        ferrylink->close();
        s.down = *why = NoLink(s);
        return Opened::NoLink;
    }
    s.up = true;
    calwire::Writer hello;
    hello.Put(s.type);
    hello.PutText(s.address.c_str());
    hello.Put(s.number);
    std::vector<uint8_t> answer;
    if ((*why = Exchange(calwire::op::Open, hello.bytes, answer)) != nullptr)
        return Opened::NoLink;
    calwire::Reader r(answer.data(), answer.size());
    uint8_t opened = 0;
    if (!r.Get(opened) || !r.AtEnd() || opened > 1) {
        *why = Unreadable(calwire::op::Open);
        return Opened::NoLink;
    }
    if (opened == 0) {
        *why = LinkDown("The target refused to open its interface");
        return Opened::Refused;
    }
    s.down = nullptr;
    return Opened::Yes;
}

} // namespace

const char *Text(const std::string &text)
{
    static std::set<std::string> texts;
    return texts.insert(text).first->c_str();
}

const char *Textf(const char *fmt, ...)
{
    char buffer[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, ap);
    va_end(ap);
    return Text(buffer);
}

bool Requested()
{
    static const bool requested = [] {
        const char *value = std::getenv("CALSIM_PROXY");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return requested;
}

TavrelCalHandle Open(uint32_t type, const char *address, uint32_t number)
{
    Close();
    // What the link would refuse is refused here, as the local model
    // refuses what could never reach a proxy.
    if (address == nullptr)
        return nullptr;
    if (type == TAVREL_IF_ETHERNET_PROXY) {
        if (!linkrules::DottedDecimal(address) || !linkrules::UsableBasePort(number))
            return nullptr;
    } else if (address[0] == '\0' || std::strlen(address) > linkrules::kMaxDeviceName ||
               !linkrules::SupportedBaud(number)) {
        return nullptr;
    }
    auto session = std::make_unique<Session>();
    session->type = type;
    session->address = address;
    session->number = number;
    session->timeoutMs = TimeoutMs();
    g_session = std::move(session);
    const char *why = nullptr;
    if (Connect(*g_session, &why) == Opened::Refused) {
        g_session.reset();
        return nullptr;
    }
    return g_session.get();
}

bool Owns(TavrelCalHandle handle)
{
    return handle != nullptr && handle == g_session.get();
}

TavrelCalHandle Handle()
{
    return g_session.get();
}

const char *Reconnect()
{
    if (!g_session)
        return "Invalid Cal API interface handle";
    if (g_session->up)
        return nullptr;
    const char *why = nullptr;
    return Connect(*g_session, &why) == Opened::Yes ? nullptr : why;
}

int Close()
{
    if (!g_session)
        return 0;
    int result = 0;
    if (g_session->up) {
        std::vector<uint8_t> answer;
        if (Exchange(calwire::op::Close, {}, answer) == nullptr) {
            calwire::Reader r(answer.data(), answer.size());
            int32_t closed = 0;
            if (r.Get(closed) && r.AtEnd())
                result = closed;
        }
    }
    CloseLink();
    g_session.reset();
    return result;
}

const TavrelOptionInfo *OptionInfo(uint32_t index)
{
    if (!g_session || !g_session->up)
        return calsim::model::GetOptionInfo(index); // the library's own table
    calwire::Writer request;
    request.Put(index);
    std::vector<uint8_t> answer;
    if (Exchange(calwire::op::OptionInfo, request.bytes, answer) != nullptr)
        return calsim::model::GetOptionInfo(index);
    calwire::Reader r(answer.data(), answer.size());
    TavrelOptionInfo info{};
    std::string name;
    if (!r.Get(info.optionId) || !r.GetText(name) || !r.Get(info.minValue) || !r.Get(info.maxValue) ||
        !r.Get(info.defaultValue) || !r.Get(info.reserved) || !r.AtEnd()) {
        Unreadable(calwire::op::OptionInfo);
        return calsim::model::GetOptionInfo(index);
    }
    info.name = Text(name);
    // Kept for the life of the process, like the model's table: a caller
    // may hold the pointer past the session.
    static std::map<uint32_t, TavrelOptionInfo> answered;
    TavrelOptionInfo &stored = answered[index];
    stored = info;
    return &stored;
}

const char *Exchange(const calwire::Operation &operation, const std::vector<uint8_t> &request,
                     std::vector<uint8_t> &answer)
{
    if (!g_session)
        return "Invalid Cal API interface handle";
    Session &s = *g_session;
    if (!s.up)
        return s.down;
    const char *error = nullptr;
    const Ferrylink *ferrylink = LoadFerrylink(&error);
    if (ferrylink == nullptr)
        return LinkDown(error);
    uint32_t number = s.nextRequest++;
    if (number == 0)
        number = s.nextRequest++;
    AnswerBox &box = Box();
    {
        std::lock_guard<std::mutex> lock(box.mutex);
        box.awaited = number;
        box.assembler.Clear();
        box.complete = false;
        box.joined = 0;
        box.progress = 0;
        box.version = calwire::kVersion;
        box.wake.Drain();
    }
    calwire::Header header;
    header.subtype = calwire::kRequest;
    header.operation = operation.number;
    header.request = number;
    std::vector<std::vector<uint8_t>> pieces = calwire::Fragment(header, request, calwire::kMaxRequestPiece);
    if (pieces.empty())
        return Textf("%s: the request is too large for the proxy link", operation.name);
    for (const std::vector<uint8_t> &piece : pieces) {
        if (ferrylink->send(piece.data(), int32_t(piece.size()), 4) != 0)
            return LinkDown("The proxy link to the target failed");
    }
    uint16_t version = calwire::kVersion;
    switch (AwaitAnswer(*ferrylink, header, s.timeoutMs, answer, version)) {
    case Outcome::Answered:
        return nullptr;
    case Outcome::TimedOut:
        return LinkDown(Textf("The target did not answer within %g s", s.timeoutMs / 1000.0));
    case Outcome::LinkFailed:
        return LinkDown("The proxy link to the target failed");
    case Outcome::Interrupted:
        return LinkDown("Interrupted while waiting for the target's answer");
    case Outcome::OtherVersion:
        break;
    }
    return LinkDown(Textf("The target speaks calibration link version %u, this library version %u", unsigned(version),
                          unsigned(calwire::kVersion)));
}

const char *Unreadable(const calwire::Operation &operation)
{
    return LinkDown(Textf("The target's answer to %s could not be read", operation.name));
}

} // namespace callib::proxy
