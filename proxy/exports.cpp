// The exported functions.
#include <cstring>
#include <memory>
#include <string>

#include <ferrylink.h>
#include "proxy/interrupt.h"
#include "proxy/library.h"
#include "linkrules/link_text.h"
#include "proxy/serial_link.h"
#include "proxy/serial_port.h"
#include "proxy/tcp_link.h"
#include "proxy/time_limits.h"

using namespace ferry;

// The header's numbers are the wire's.
static_assert(FERRYLINK_MAX_REQUEST == kMaxRequestPayload);
static_assert(FERRYLINK_MAX_MESSAGE == kThreadBufferSize - kTlvHeaderSize - 1);
static_assert(FERRYLINK_MAX_BASE_PORT + FERRYLINK_NOTIFY_OFFSET == 65535);

namespace {

#define FERRY_TEXT(x) #x
#define FERRY_VERSION_TEXT(major, minor, patch) FERRY_TEXT(major) "." FERRY_TEXT(minor) "." FERRY_TEXT(patch)
// The build checks these numbers against the project's version.
constexpr const char kVersion[] =
    FERRY_VERSION_TEXT(FERRYLINK_VERSION_MAJOR, FERRYLINK_VERSION_MINOR, FERRYLINK_VERSION_PATCH);

constexpr uint32_t kMinLimitMs = 1;
constexpr uint32_t kMaxLimitMs = 600000;

// The used part of the record's text: at most 63 characters, terminated.
bool RecordText(const FerryOpenRecord &record, std::string &text)
{
    const void *end = std::memchr(record.text, 0, FERRYLINK_TEXT_MAX + 1);
    if (end == nullptr)
        return false;
    text.assign(record.text, static_cast<const char *>(end));
    return true;
}

// Makes the link that the record asks for: 1, -1 or FERRYLINK_E_INTERRUPTED.
int32_t MakeLink(Library &lib, uint8_t transport, const std::string &text, uint32_t number)
{
    if (transport == FERRYLINK_TRANSPORT_TCP) {
        auto tcp = std::make_unique<TcpLink>(lib);
        int32_t connected = tcp->Connect(text, number);
        if (connected == 1)
            lib.link = std::move(tcp);
        return connected;
    }
    auto serial = std::make_unique<SerialLink>(lib);
    if (serial->Open(text, number) != kSerialOpened)
        return kNotConnected;
    lib.link = std::move(serial);
    return 1;
}

// A request whose packet did not go out whole leaves the target mid-packet:
// the link fails. The code for the caller.
int32_t FailedSend(Library &lib, Sent sent, int32_t code)
{
    FailLink(lib);
    return sent == Sent::Interrupted ? kInterrupted : code;
}

} // namespace

extern "C" {

int32_t OpenCommunicatonPort(const FerryOpenRecord *record)
{
    Library &lib = TheLibrary();
    HostCall call(lib);
    if (record == nullptr || call.FromLinkThread())
        return -1;
    // Open or not before, the port counts as open only once the handshake succeeds.
    lib.open.store(false);
    lib.state.store(FERRYLINK_STATE_CLOSED);
    uint8_t transport = record->transport;
    std::string text;
    bool valid = RecordText(*record, text) &&
                 (transport == FERRYLINK_TRANSPORT_SERIAL ||
                  (transport == FERRYLINK_TRANSPORT_TCP && linkrules::UsableBasePort(record->number)));
    // A second open to the same live TCP peer keeps the connections and
    // repeats only the handshake.
    bool reuse =
        valid && transport == FERRYLINK_TRANSPORT_TCP && lib.link && lib.link->ReusableFor(text, record->number);
    if (!reuse)
        ReleaseLink(lib);
    lib.delivery.ResetDropped();
    if (!valid)
        return -1;
    int32_t result = reuse ? 1 : MakeLink(lib, transport, text, record->number);
    if (result == 1)
        result = RunHandshake(lib);
    // A connection that ended during the handshake opens nothing.
    if (result == 1 && lib.link->Failed())
        result = -1;
    if (result != 1) {
        ReleaseLink(lib);
        return result;
    }
    lib.open.store(true);
    lib.state.store(FERRYLINK_STATE_OPEN);
    return 1;
}

void CloseCommunicationPort(void)
{
    Library &lib = TheLibrary();
    HostCall call(lib);
    lib.delivery.SetCallback(nullptr);
    if (lib.open.exchange(false) && lib.link && !lib.link->Failed()) {
        uint8_t request[kPacketOverhead];
        size_t size = EncodePacket(request, kCmdClose, nullptr, 0);
        lib.link->SendPacket(request, size);
    }
    // Also frees a link that failed.
    ReleaseLink(lib);
    lib.state.store(FERRYLINK_STATE_CLOSED);
}

int32_t SendDataMessage(const void *data, int32_t length, int32_t commandType)
{
    Library &lib = TheLibrary();
    HostCall call(lib);
    if (!PortOpen(lib))
        return -1;
    if (length < 0 || size_t(length) > kMaxRequestPayload || (length > 0 && data == nullptr))
        return -1;
    // Each call builds its packet in a buffer of its own: the callback may
    // send while a host call is under way.
    uint8_t packet[kRequestBufferSize];
    size_t size = EncodePacket(packet, uint16_t(commandType), data, size_t(length));
    Sent sent = lib.link->SendPacket(packet, size);
    return sent == Sent::Whole ? 0 : FailedSend(lib, sent, -1);
}

int32_t ReadDataMessage(void *buffer, int32_t capacity)
{
    Library &lib = TheLibrary();
    HostCall call(lib);
    if (buffer == nullptr || capacity <= 0)
        return kBadArgument;
    if (!lib.link || !lib.link->CanAwaitReply())
        return kNotConnected;
    Reply reply;
    {
        std::unique_lock<std::mutex> exchange = lib.link->ExchangeLock();
        reply = lib.link->ReadReply(static_cast<uint8_t *>(buffer), size_t(capacity));
    }
    if (!reply.inStep)
        FailLink(lib);
    return reply.code;
}

int32_t RegisterCallbackForProxy(FerryCallback callback)
{
    Library &lib = TheLibrary();
    HostCall call(lib);
    if (!PortOpen(lib))
        return -1;
    lib.delivery.SetCallback(callback);
    // The messages kept so far go to it first, on the link's thread.
    if (callback != nullptr)
        lib.link->Poke();
    return 0;
}

int32_t rdmremote(uint32_t address, void *destination, uint32_t count)
{
    Library &lib = TheLibrary();
    HostCall call(lib);
    if (!PortOpen(lib))
        return -1;
    // A reply carries at most kMaxRequestPayload bytes.
    if (count > kMaxRequestPayload || (count > 0 && destination == nullptr))
        return -1;
    if (!lib.link->CanAwaitReply())
        return -1;
    auto *out = static_cast<uint8_t *>(destination);
    if (count > 0)
        std::memset(out, 0, count);
    uint8_t payload[8];
    PutU32(payload, address);
    PutU32(payload + 4, count);
    uint8_t request[sizeof payload + kPacketOverhead];
    size_t size = EncodePacket(request, kCmdReadMemory, payload, sizeof payload);
    uint8_t tlv[kReplyCapacity];
    Sent sent;
    Reply reply{kNotConnected, 0, false};
    {
        std::unique_lock<std::mutex> exchange = lib.link->ExchangeLock();
        lib.link->DiscardStaleReply();
        sent = lib.link->SendPacket(request, size);
        if (sent == Sent::Whole)
            reply = lib.link->ReadReply(tlv, count + kTlvHeaderSize + 1);
    }
    if (sent != Sent::Whole)
        return FailedSend(lib, sent, kSendFailed);
    // Only a remote read reply answers the request. Anything else (nothing
    // in time, a reply cut short, a packet of another type) means the answer
    // may still be on its way and would be taken by the next request.
    if (!reply.inStep || reply.carried < 2 || GetU16(tlv) != kCmdReadMemory) {
        FailLink(lib);
        return reply.code == kInterrupted ? kInterrupted : kReceiveFailed;
    }
    // The whole reply was read, so the link stays in step; but fewer bytes
    // than asked for are no answer to the request.
    if (CarriedPayload(tlv, reply.carried) < count)
        return kShortReply;
    if (count > 0)
        std::memcpy(out, tlv + kTlvHeaderSize, count);
    return 0;
}

int32_t wrmremote(uint32_t address, const uint32_t *value)
{
    Library &lib = TheLibrary();
    HostCall call(lib);
    if (!PortOpen(lib))
        return -1;
    if (value == nullptr)
        return -1;
    uint8_t payload[8];
    PutU32(payload, address);
    PutU32(payload + 4, *value);
    uint8_t packet[sizeof payload + kPacketOverhead];
    size_t size = EncodePacket(packet, kCmdWriteMemory, payload, sizeof payload);
    Sent sent = lib.link->SendPacket(packet, size);
    return sent == Sent::Whole ? 0 : FailedSend(lib, sent, kSendFailed);
}

const char *FerryVersion(void)
{
    return kVersion;
}

const char *FerryResultText(int32_t code)
{
    switch (code) {
    case FERRYLINK_OPENED:
        return "The port is open.";
    case FERRYLINK_OK:
        return "Success.";
    case FERRYLINK_E_NOT_OPEN:
        return "The port is not open or the link has failed, or the call was refused: an argument it cannot take, "
               "a call it cannot make from the callback, or an open that found no target or no acknowledgement.";
    case FERRYLINK_E_NO_REPLY:
        return "No whole reply came in time, or a packet of another type came in its place (the link has failed); "
               "or the reply was larger than the buffer.";
    case FERRYLINK_E_SEND:
        return "The request could not be sent; the link has failed.";
    case FERRYLINK_E_ARGUMENT:
        return "An argument the call cannot take.";
    case FERRYLINK_E_SHORT_REPLY:
        return "The remote read reply carried fewer bytes than were asked for.";
    case FERRYLINK_E_INTERRUPTED:
        return "FerryInterrupt ended the wait for the target; the link has failed.";
    default:
        return "Not a result code of ferrylink.";
    }
}

void FerryGetLimits(FerryLimits *limits)
{
    if (limits == nullptr)
        return;
    Limits now = CurrentLimits();
    limits->reply_ms = uint32_t(now.reply.count());
    limits->send_ms = uint32_t(now.sendStall.count());
    limits->connect_ms = uint32_t(now.connect.count());
    limits->ack_ms = uint32_t(now.openAck.count());
}

int32_t FerrySetLimits(const FerryLimits *limits)
{
    if (limits == nullptr)
        return kBadArgument;
    for (uint32_t ms : {limits->reply_ms, limits->send_ms, limits->connect_ms, limits->ack_ms}) {
        if (ms < kMinLimitMs || ms > kMaxLimitMs)
            return kBadArgument;
    }
    // The serial quiet gap is the line's framing, not the host's to change.
    Limits next = CurrentLimits();
    next.reply = Millis(limits->reply_ms);
    next.sendStall = Millis(limits->send_ms);
    next.connect = Millis(limits->connect_ms);
    next.openAck = Millis(limits->ack_ms);
    SetLimits(next);
    return 0;
}

int32_t FerryLinkState(void)
{
    return TheLibrary().state.load();
}

uint64_t FerryDroppedMessages(void)
{
    return TheLibrary().delivery.Dropped();
}

void FerryInterrupt(void)
{
    RaiseInterrupt();
}

} // extern "C"
