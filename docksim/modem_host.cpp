#include "docksim/modem_host.h"

#include "calsim/model.h"
#include "calwire/calwire.h"
#include "calwire/serve.h"

#include <cstdio>
#include <cstdlib>

namespace docksim {
namespace {

using calwire::Reader;
using calwire::Writer;

bool Dispatch(uint16_t number, TavrelCalHandle handle, Reader &in, Writer &out)
{
    switch (number) {
#define DOCKSIM_SERVE_OPERATION(number_, name_, ...)                                                                   \
    case number_:                                                                                                      \
        return calwire::Serve(&calsim::model::name_, calwire::op::name_, handle, in, out);
        CALWIRE_OPERATIONS(DOCKSIM_SERVE_OPERATION)
#undef DOCKSIM_SERVE_OPERATION
    default:
        return false;
    }
}

} // namespace

bool ParseFaultAt(const std::string &text, ModemSettings &settings)
{
    std::string name = text;
    unsigned long skip = 0;
    size_t slash = text.find('/');
    if (slash != std::string::npos) {
        name = text.substr(0, slash);
        const char *digits = text.c_str() + slash + 1;
        char *end = nullptr;
        if (*digits < '0' || *digits > '9')
            return false;
        skip = std::strtoul(digits, &end, 10);
        if (*end != '\0' || skip > 1000000)
            return false;
    }
    for (uint16_t number = 1; number < 0xFFFF; ++number) {
        const calwire::Operation *operation = calwire::FindOperation(number);
        if (operation == nullptr)
            break;
        if (name == operation->name) {
            settings.faultAt = name;
            settings.faultSkip = unsigned(skip);
            return true;
        }
    }
    return false;
}

ModemHost::Reply ModemHost::Take(const std::vector<uint8_t> &message)
{
    Reply reply;
    calwire::Header header;
    if (calwire::ReadHeader(message.data(), message.size(), header) && header.subtype == calwire::kProbe)
        return reply; // a host waiting for an answer
    if (!calwire::ReadHeader(message.data(), message.size(), header) || header.subtype != calwire::kRequest) {
        reply.log = "data message from the host: not a calibration request, ignored";
        return reply;
    }
    const calwire::Operation *operation = calwire::FindOperation(header.operation);
    const char *name = operation != nullptr ? operation->name : "an unknown operation";
    char line[160];

    // Another version: say which one this target speaks, and nothing else,
    // once for the request (at its first fragment).
    if (header.version != settings_.version) {
        if (header.index != 0)
            return reply;
        calwire::Header answer = header;
        answer.subtype = calwire::kAnswer;
        answer.version = settings_.version;
        reply.messages = calwire::Fragment(answer, {}, calwire::kMaxAnswerPiece);
        std::snprintf(line, sizeof line, "calibration request %u of link version %u refused: this target speaks %u",
                      unsigned(header.request), unsigned(header.version), unsigned(settings_.version));
        reply.log = line;
        return reply;
    }
    if (!assembler_.Add(header, message.data() + calwire::kHeaderSize, message.size() - calwire::kHeaderSize))
        return reply; // more fragments to come
    std::vector<uint8_t> body = std::move(assembler_.Body());
    assembler_.Clear();

    if (!silent_ && settings_.fault != ModemFault::None && settings_.faultAt == name &&
        faultSeen_++ == settings_.faultSkip) {
        silent_ = settings_.fault == ModemFault::Silent;
        reply.drop = settings_.fault == ModemFault::Drop;
    }
    if (silent_ || reply.drop) {
        std::snprintf(line, sizeof line, "calibration request %u: %s, %s", unsigned(header.request), name,
                      silent_ ? "not answered (silent from here on)" : "the link ends here");
        reply.log = line;
        return reply;
    }
    std::string note;
    std::vector<uint8_t> answerBody = Answer(header, body, note);
    calwire::Header answer = header;
    answer.subtype = calwire::kAnswer;
    reply.messages = calwire::Fragment(answer, answerBody, calwire::kMaxAnswerPiece);
    std::snprintf(line, sizeof line, "calibration request %u: %s (%zu bytes), answered (%zu bytes, %zu message%s)%s",
                  unsigned(header.request), name, body.size(), answerBody.size(), reply.messages.size(),
                  reply.messages.size() == 1 ? "" : "s", note.c_str());
    reply.log = line;
    return reply;
}

// The answer body for one whole request.
std::vector<uint8_t> ModemHost::Answer(const calwire::Header &header, std::vector<uint8_t> &body, std::string &note)
{
    Reader in(body.data(), body.size());
    Writer out;
    bool served = false;
    switch (header.operation) {
    case calwire::kOpOpen: {
        uint32_t type = 0;
        uint32_t number = 0;
        std::string address;
        served = in.Get(type) && in.GetText(address) && in.Get(number) && in.AtEnd();
        if (served) {
            handle_ = calsim::model::GetCalInterface(type, address.c_str(), number);
            out.Put(uint8_t(handle_ != nullptr));
        }
        break;
    }
    case calwire::kOpClose:
        served = in.AtEnd();
        if (served) {
            out.Put(int32_t(calsim::model::CloseCalInterface()));
            handle_ = nullptr;
        }
        break;
    case calwire::kOpOptionInfo: {
        uint32_t index = 0;
        served = in.Get(index) && in.AtEnd();
        if (served) {
            const TavrelOptionInfo *info = calsim::model::GetOptionInfo(index);
            out.Put(info->optionId);
            out.PutText(info->name);
            out.Put(info->minValue);
            out.Put(info->maxValue);
            out.Put(info->defaultValue);
            out.Put(info->reserved);
        }
        break;
    }
    default:
        served = Dispatch(header.operation, handle_, in, out);
        break;
    }
    if (served)
        return std::move(out.bytes);
    // A request this modem cannot read: an error for the host to show (a
    // key request gets no key), an empty answer for the three without a
    // handle, which the host then finds unreadable.
    note = ", not understood";
    Writer error;
    if (header.operation == calwire::op::RequestDevDataWriteKey.number)
        error.Put(uint32_t(0));
    else if (header.operation > calwire::kOpOptionInfo)
        calwire::PutResult(error, "The target could not read the request");
    return std::move(error.bytes);
}

} // namespace docksim
