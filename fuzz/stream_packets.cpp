// The TCP notification packet reader against a plain model of the stream:
// 8-byte headers back to back, a header with a wrong signature dropped
// alone, a body of the header's length held up to the capacity, and the
// end of the stream ending everything.
//
// Input: byte 0 picks the capacity; the rest is what the connection
// carries, read through a descriptor as the receive thread reads it.
#include "fuzz/fuzz_target.h"
#include "packet_reader.h"
#include "unique_fd.h"
#include "wire.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// A descriptor that reads back `n` bytes and then the end of the stream.
ferry::UniqueFd StreamOf(const uint8_t *data, size_t n)
{
    ferry::UniqueFd fd(::memfd_create("stream", MFD_CLOEXEC));
    if (!fd.Valid())
        return fd;
    ferry::WriteResult w = ferry::WriteFully(fd.Get(), data, n, false, ferry::Millis(1000));
    if (w.failed || w.sent != n)
        return ferry::UniqueFd();
    if (::lseek(fd.Get(), 0, SEEK_SET) != 0)
        return ferry::UniqueFd();
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The reader names every wrong signature on standard output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t capacity = data[0] == 0xFF ? ferry::kThreadBufferSize : size_t(data[0] % 48);
    const uint8_t *s = data + 1;
    size_t n = size - 1;
    ferry::UniqueFd fd = StreamOf(s, n);
    fuzz::Require(fd.Valid(), "a memory file holds the stream");
    ferry::FdReader reader(fd.Get(), -1);
    std::vector<uint8_t> buffer(capacity + 1);

    size_t i = 0;
    for (;;) {
        ferry::PacketInfo info;
        ferry::PacketResult r = ferry::ReadStreamPacket(reader, buffer.data(), capacity, info);
        if (i + ferry::kHeaderSize > n) {
            fuzz::Require(r == ferry::PacketResult::Gone, "a cut header ends the stream");
            return 0;
        }
        if (ferry::GetU32(s + i) != ferry::kPacketSignature) {
            fuzz::Require(r == ferry::PacketResult::BadSignature, "a wrong signature drops 8 bytes");
            i += ferry::kHeaderSize;
            continue;
        }
        uint32_t length = ferry::GetU32(s + i + 4);
        if (n - i - ferry::kHeaderSize < length) {
            fuzz::Require(r == ferry::PacketResult::Gone, "a cut body ends the stream");
            return 0;
        }
        fuzz::Require(r == ferry::PacketResult::Packet, "a whole packet is read");
        size_t kept = length < capacity ? length : capacity;
        const uint8_t *body = s + i + ferry::kHeaderSize;
        fuzz::Require(info.length == length && info.carried == kept && info.complete == (length <= capacity),
                      "the packet's sizes are the header's");
        fuzz::Require(std::equal(body, body + kept, buffer.data()), "the packet holds the body's bytes");
        i += ferry::kHeaderSize + length;
    }
}
