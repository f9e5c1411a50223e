// The seven exported functions.
#include <cstring>
#include <memory>
#include <string>

#include "ferrylink.h"
#include "library.h"
#include "serial_link.h"
#include "serial_port.h"
#include "tcp_link.h"

using namespace ferry;

namespace {

// The used part of the record's text: at most 63 characters, terminated.
bool RecordText(const FerryOpenRecord &record, std::string &text)
{
    const void *end = std::memchr(record.text, 0, FERRYLINK_TEXT_MAX + 1);
    if (end == nullptr)
        return false;
    text.assign(record.text, static_cast<const char *>(end));
    return true;
}

// Makes the link that the record asks for, reusing a live TCP link to the
// same peer so that a second open repeats only the handshake.
bool MakeLink(Library &lib, uint8_t transport, const std::string &text, uint32_t number)
{
    if (transport == FERRYLINK_TRANSPORT_TCP) {
        if (lib.link && lib.link->ReusableFor(text, number))
            return true;
        ReleaseLink(lib);
        auto tcp = std::make_unique<TcpLink>(lib.callback);
        if (!tcp->Connect(text, number))
            return false;
        lib.link = std::move(tcp);
        return true;
    }
    ReleaseLink(lib);
    auto serial = std::make_unique<SerialLink>(lib.callback);
    if (serial->Open(text, number) != kSerialOpened)
        return false;
    lib.link = std::move(serial);
    return true;
}

} // namespace

extern "C" {

int32_t OpenCommunicatonPort(const FerryOpenRecord *record)
{
    Library &lib = TheLibrary();
    if (record == nullptr || (lib.link && lib.link->OnOwnThread()))
        return -1;
    uint8_t transport = record->transport;
    std::string text;
    bool known = transport == FERRYLINK_TRANSPORT_SERIAL ||
                 (transport == FERRYLINK_TRANSPORT_TCP && ValidBasePort(record->number));
    bool made = known && RecordText(*record, text) && MakeLink(lib, transport, text, record->number);
    // Open or not before, the port counts as open only once the handshake succeeds.
    lib.open.store(false);
    if (!made) {
        ReleaseLink(lib);
        return -1;
    }
    if (!RunHandshake(lib)) {
        ReleaseLink(lib);
        return -1;
    }
    lib.open.store(true);
    return 1;
}

void CloseCommunicationPort(void)
{
    Library &lib = TheLibrary();
    lib.callback.store(nullptr);
    if (lib.open.load())
        SendRequest(lib, kCmdClose, nullptr, 0);
    // Also frees a link that a failed send left behind.
    ReleaseLink(lib);
    lib.open.store(false);
}

int32_t SendDataMessage(const void *data, int32_t length, int32_t commandType)
{
    Library &lib = TheLibrary();
    if (!lib.open.load())
        return -1;
    if (length < 0 || size_t(length) > kMaxRequestPayload || (length > 0 && data == nullptr)) {
        return -1;
    }
    int32_t sent = SendRequest(lib, uint16_t(commandType), data, size_t(length));
    if (sent > 0)
        return size_t(sent) == size_t(length) + kPacketOverhead ? 0 : -1;
    FailLink(lib);
    return -1;
}

int32_t ReadDataMessage(void *buffer, int32_t capacity)
{
    Library &lib = TheLibrary();
    if (buffer == nullptr || capacity <= 0)
        return kBadArgument;
    if (!lib.link || !lib.link->CanAwaitReply())
        return kNotConnected;
    Reply reply = lib.link->ReadReply(static_cast<uint8_t *>(buffer), size_t(capacity));
    if (!reply.inStep)
        FailLink(lib);
    return reply.code;
}

int32_t RegisterCallbackForProxy(FerryCallback callback)
{
    Library &lib = TheLibrary();
    if (!lib.open.load())
        return -1;
    lib.callback.store(callback);
    return 0;
}

int32_t rdmremote(uint32_t address, void *destination, uint32_t count)
{
    Library &lib = TheLibrary();
    if (!lib.open.load())
        return -1;
    // A reply carries at most kMaxRequestPayload bytes in the request buffer.
    if (count > kMaxRequestPayload || (count > 0 && destination == nullptr))
        return -1;
    uint8_t payload[8];
    PutU32(payload, address);
    PutU32(payload + 4, count);
    if (!lib.link->CanAwaitReply())
        return -1;
    auto *out = static_cast<uint8_t *>(destination);
    if (count > 0)
        std::memset(out, 0, count);
    lib.link->DiscardStaleReply();
    // A request that went out short leaves the target mid-packet: the link
    // is out of step as much as after a failed send.
    if (SendRequest(lib, kCmdReadMemory, payload, sizeof payload) != int32_t(sizeof payload + kPacketOverhead)) {
        FailLink(lib);
        return kSendFailed;
    }

    lib.request.fill(0);
    uint8_t *tlv = lib.request.data() + kHeaderSize;
    Reply reply = lib.link->ReadReply(tlv, count + kTlvHeaderSize + 1);
    // Only a remote read reply answers the request. Anything else (nothing
    // in time, a reply cut short, a packet of another type) means the answer
    // may still be on its way and would be taken by the next request.
    if (!reply.inStep || reply.carried < 2 || GetU16(tlv) != kCmdReadMemory) {
        FailLink(lib);
        return kReceiveFailed;
    }
    size_t carried = CarriedPayload(tlv, reply.carried);
    size_t take = carried < count ? carried : count;
    if (take > 0)
        std::memcpy(out, tlv + kTlvHeaderSize, take);
    return 0;
}

int32_t wrmremote(uint32_t address, const uint32_t *value)
{
    Library &lib = TheLibrary();
    if (!lib.open.load())
        return -1;
    if (value == nullptr)
        return -1;
    // Built in a buffer of its own: the request buffer may hold a reply.
    uint8_t payload[8];
    PutU32(payload, address);
    PutU32(payload + 4, *value);
    uint8_t packet[8 + kPacketOverhead];
    size_t size = EncodePacket(packet, kCmdWriteMemory, payload, sizeof payload);
    if (lib.link->SendPacket(packet, size) != int32_t(size)) {
        FailLink(lib);
        return kSendFailed;
    }
    return 0;
}

} // extern "C"
