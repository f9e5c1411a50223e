// The calibration link's codec: headers, fragments, joining, texts.
#include "calwire/codec.h"

#include <algorithm>

namespace calwire {
namespace {

uint16_t U16(const uint8_t *p)
{
    return uint16_t(p[0] | p[1] << 8);
}

} // namespace

bool ReadHeader(const uint8_t *message, size_t length, Header &header)
{
    if (message == nullptr || length < kHeaderSize || U16(message) != kMessageType)
        return false;
    header.subtype = U16(message + 2);
    header.version = U16(message + 4);
    header.operation = U16(message + 6);
    header.request = uint32_t(U16(message + 8)) | uint32_t(U16(message + 10)) << 16;
    header.index = U16(message + 12);
    header.count = U16(message + 14);
    return header.count > 0 && header.index < header.count;
}

std::vector<std::vector<uint8_t>> Fragment(Header header, const std::vector<uint8_t> &body, size_t maxPiece)
{
    size_t pieces = body.empty() ? 1 : (body.size() + maxPiece - 1) / maxPiece;
    std::vector<std::vector<uint8_t>> messages;
    if (pieces > 0xFFFF)
        return messages; // longer than any body either side takes
    messages.reserve(pieces);
    header.count = uint16_t(pieces);
    for (size_t i = 0; i < pieces; ++i) {
        header.index = uint16_t(i);
        Writer w;
        w.Put(kMessageType);
        w.Put(header.subtype);
        w.Put(header.version);
        w.Put(header.operation);
        w.Put(header.request);
        w.Put(header.index);
        w.Put(header.count);
        size_t start = i * maxPiece;
        size_t end = std::min(body.size(), start + maxPiece);
        w.bytes.insert(w.bytes.end(), body.begin() + long(start), body.begin() + long(end));
        messages.push_back(std::move(w.bytes));
    }
    return messages;
}

bool Assembler::Add(const Header &header, const uint8_t *piece, size_t length)
{
    bool follows = collecting_ && header.request == head_.request && header.subtype == head_.subtype &&
                   header.operation == head_.operation && header.count == head_.count &&
                   header.index == head_.index + 1;
    if (!follows) {
        Clear();
        if (header.index != 0)
            return false;
    }
    if (length > kMaxMessage - body_.size()) {
        Clear();
        return false;
    }
    head_ = header;
    body_.insert(body_.end(), piece, piece + length);
    collecting_ = header.index + 1 < header.count;
    return !collecting_;
}

void Assembler::Clear()
{
    body_.clear();
    collecting_ = false;
    head_ = Header{};
}

void Writer::PutText(const char *text)
{
    size_t n = text == nullptr ? 0 : std::min<size_t>(std::strlen(text), 0xFFFF);
    Put(uint16_t(n));
    bytes.insert(bytes.end(), text, text + n);
}

bool Reader::GetText(std::string &text)
{
    uint16_t n = 0;
    if (!Get(n) || Left() < n)
        return Fail();
    text.assign(reinterpret_cast<const char *>(data_ + used_), n);
    used_ += n;
    return true;
}

} // namespace calwire
