// A pcap file of what docksim sends and receives, readable by Wireshark
// while docksim still runs and after it is killed: the file header goes
// out first and every record with one write of its own, unbuffered.
//
// TCP links are written as link type RAW (101): synthetic IPv4/TCP frames
// between 127.0.0.1 and 127.0.0.1 with the real ports, a three-way
// handshake when a connection is accepted, sequence numbers that advance
// with the bytes, and FINs when it ends.
//
// Serial links are written as link type USER0 (147). Each record is one
// direction byte followed by the bytes exactly as they passed on the line
// in one read or write:
//   0  from the host to docksim
//   1  from docksim to the host
// A packet can therefore start in one record and end in the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "outfile/output_file.h"
#include "proxy/wire/unique_fd.h"

namespace docksim {

inline constexpr uint32_t kLinkTypeRaw = 101;
inline constexpr uint32_t kLinkTypeUser0 = 147;
inline constexpr uint8_t kSerialToDock = 0;
inline constexpr uint8_t kSerialFromDock = 1;

// One TCP connection as the capture numbers it.
struct TcpFlow {
    bool open = false;
    uint16_t hostPort = 0;
    uint16_t dockPort = 0;
    uint32_t hostSeq = 0; // next sequence number of each side
    uint32_t dockSeq = 0;
};

class Capture {
public:
    // Writes the file header for a TCP or a serial link into a new file
    // beside path (or into path itself when it is a device or a FIFO; a
    // symbolic link is followed, not replaced); null with the reason in
    // *error when it cannot. Commit puts the new file in
    // place once docksim has started; until then, and if it never does, a
    // file already at path stays as it was.
    static std::unique_ptr<Capture> Create(const std::string &path, bool serial, std::string *error);
    bool Commit(std::string *error);
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    // Calls come from one thread at a time.
    void TcpAccepted(TcpFlow &flow, uint16_t hostPort, uint16_t dockPort);
    void TcpData(TcpFlow &flow, bool fromDock, const uint8_t *data, size_t n);
    void TcpClosed(TcpFlow &flow, bool byHost);
    void SerialData(bool fromDock, const uint8_t *data, size_t n);

private:
    Capture() = default;
    void TcpSegment(TcpFlow &flow, bool fromDock, uint8_t flags, const uint8_t *data, size_t n);
    void Record(const uint8_t *frame, size_t n);

    outfile::OutputFile file_; // removes the new file unless committed
    ferry::UniqueFd fd_;       // where the records go, before and after Commit
    std::string path_;
    uint16_t ipId_ = 0;
};

} // namespace docksim
