// The modem target (docksim --modem) against whatever a host may send.
//
// Input: byte 0 bit 0 opens the modem's interface and connects the device
// first (so that the operations get past their handle checks), bits 1-3
// give the number of cut points, each a u16 (little-endian) that follows;
// the rest is cut there into data messages, the last one taking what is
// left. Every message goes to one ModemHost in order. Whatever comes back
// must be answers of this link that join into bodies the host can read.
#include "calsim/control.h"
#include "calwire/calwire.h"
#include "fuzz/fuzz_target.h"
#include "docksim/modem_host.h"

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A whole request, as the host would send it in one message.
Bytes Request(uint16_t operation, uint32_t number, const Bytes &body)
{
    calwire::Header header;
    header.subtype = calwire::kRequest;
    header.operation = operation;
    header.request = number;
    return calwire::Fragment(header, body, calwire::kMaxRequestPiece).front();
}

// The answers to one message: each is a fragment of an answer to the
// request just sent, and the last completes a body that starts as the
// host expects.
void CheckReply(const calwire::Header &request, const docksim::ModemHost::Reply &reply)
{
    calwire::Assembler joined;
    bool complete = false;
    for (const Bytes &message : reply.messages) {
        calwire::Header header;
        fuzz::Require(calwire::ReadHeader(message.data(), message.size(), header), "every reply has a header");
        fuzz::Require(header.subtype == calwire::kAnswer && header.version == calwire::kVersion,
                      "every reply is an answer of this version");
        fuzz::Require(header.request == request.request && header.operation == request.operation,
                      "an answer names the request it answers");
        fuzz::Require(message.size() <= calwire::kHeaderSize + calwire::kMaxAnswerPiece,
                      "no answer message is longer than the link carries");
        fuzz::Require(!complete, "nothing follows the last fragment of an answer");
        complete = joined.Add(header, message.data() + calwire::kHeaderSize, message.size() - calwire::kHeaderSize);
    }
    if (request.subtype != calwire::kRequest)
        fuzz::Require(reply.messages.empty(), "only requests are answered");
    if (reply.messages.empty())
        return;
    fuzz::Require(complete, "the answer fragments join into one body");
    if (request.version != calwire::kVersion) {
        fuzz::Require(reply.messages.size() == 1 && joined.Body().empty(),
                      "a request of another version gets one empty answer");
        return;
    }
    // The operations with a handle always answer with a result first.
    calwire::Reader r(joined.Body().data(), joined.Body().size());
    if (request.operation == calwire::op::RequestDevDataWriteKey.number) {
        uint32_t key = 0;
        fuzz::Require(r.Get(key), "a key request is answered with a key");
    } else if (request.operation > calwire::kOpOptionInfo) {
        bool failed = false;
        std::string text;
        fuzz::Require(calwire::GetResult(r, failed, text), "an answer starts with a result");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    calsim::Reset(1); // the model is global: every input starts from power-on
    docksim::ModemHost host{docksim::ModemSettings{}};
    size_t cuts = (data[0] >> 1) & 7;
    size_t at = 1 + 2 * cuts;
    if (size < at)
        return 0;
    if (data[0] & 1) {
        // u32 type (local), text address (empty), u32 number.
        const Bytes open = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        host.Take(Request(calwire::kOpOpen, 1, open));
        host.Take(Request(calwire::op::ConnectDevice.number, 2, {}));
    }

    std::vector<Bytes> messages;
    for (size_t i = 0; i < cuts; ++i) {
        size_t length = size_t(data[1 + 2 * i] | data[2 + 2 * i] << 8);
        if (length > size - at)
            length = size - at;
        messages.emplace_back(data + at, data + at + length);
        at += length;
    }
    messages.emplace_back(data + at, data + size);

    for (const Bytes &message : messages) {
        docksim::ModemHost::Reply reply = host.Take(message);
        calwire::Header request;
        if (calwire::ReadHeader(message.data(), message.size(), request))
            CheckReply(request, reply);
        else
            fuzz::Require(reply.messages.empty() && !reply.drop, "what is not a request gets no answer");
    }
    return 0;
}
