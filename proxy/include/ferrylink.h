/* ferrylink: host proxy to the target-side dock over TCP or a serial line.
 *
 * Usage: OpenCommunicatonPort, RegisterCallbackForProxy, then any of
 * SendDataMessage, ReadDataMessage, rdmremote and wrmremote, and finally
 * CloseCommunicationPort. Call the exports from one thread at a time.
 *
 * Replies and requests. A reply carries no request number: on both
 * transports a reply is matched to its request by order alone. So a reply
 * that does not arrive whole within the reply limit (10 s for header and
 * body together) leaves the link out of step: it may still come, and would
 * then be taken for the answer to the next request. The library never lets
 * that happen. Such a read fails with -4 and the link counts as failed,
 * exactly as after a failed send: the port is closed (later calls return -1,
 * ReadDataMessage too), the registered callback gets the link-failure
 * notification on the calling thread, and the next OpenCommunicatonPort
 * makes a fresh link (new TCP connections, a freshly opened serial line).
 * A request that could not be sent whole fails the link the same way
 * (SendDataMessage: only when nothing went out). On the serial line, a
 * remote read reply read off the line before rdmremote sends its request is
 * thrown away, never returned as that request's answer. The serial reader
 * never waits for the host: while 4 MiB of packets wait for a callback that
 * cannot keep up, further packets are dropped (never spliced).
 *
 * Serial framing. The signature is searched for byte by byte, so noise
 * loses only itself. A line quiet for 500 ms (measured from the last byte
 * that arrived) ends the packet under way: a packet cut short is dropped,
 * never completed with later bytes. A header whose length no TLV packet can
 * have (over 65,540 bytes) is taken for noise.
 *
 * Time limits: every call returns within them. TCP connect: 10 s per
 * connection. A send that makes no progress: 10 s. A reply: 10 s. The
 * serial device-open acknowledgement: 5 s.
 *
 * Result codes, by function:
 *   OpenCommunicatonPort      1 open; -1 refused or failed: no or unknown
 *                             record, a text over 63 characters or
 *                             unterminated, a TCP base port of 0 or above
 *                             65525 (its notification port, base + 10,
 *                             would pass 65535), an address that is not
 *                             dotted-decimal IPv4, no connection, a serial
 *                             line that cannot be opened or set up (or an
 *                             unsupported baud rate), no or a wrong
 *                             acknowledgement of the device open.
 *   SendDataMessage           0 sent whole; -1 port not open, a length below
 *                             0 or above 2,043, no data for a length above 0,
 *                             the packet went out short (the port stays
 *                             open) or not at all (the port closes, the
 *                             callback is told).
 *   ReadDataMessage           the packet's size (from its command type on);
 *                             -6 no buffer or a capacity of 0 or less;
 *                             -1 no link, or the link has failed or closed,
 *                             or (serial) a call from inside the callback;
 *                             -4 no whole reply in time (the link fails), or
 *                             a reply larger than the capacity (read
 *                             through and thrown away; the link stays up).
 *   RegisterCallbackForProxy  0 stored (null unregisters); -1 port not open.
 *   rdmremote                 0 the destination holds the reply's bytes
 *                             (zeros past what the reply carried); -1 port
 *                             not open, a count above 2,043, no
 *                             destination for a count above 0, or (serial)
 *                             a call from inside the callback, whose thread
 *                             is the one that delivers replies; -5 the
 *                             request could not be sent (the link fails);
 *                             -4 no whole remote read reply in time, or a
 *                             packet of another type in its place (the link
 *                             fails). The destination is zero-filled on -4
 *                             and -5.
 *   wrmremote                 0 the request went out (no reply is awaited);
 *                             -1 port not open or no value; -5 the request
 *                             could not be sent (the link fails).
 *   CloseCommunicationPort    no result; safe to call at any time. */
#ifndef FERRYLINK_H
#define FERRYLINK_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define FERRYLINK_API __attribute__((visibility("default")))
#else
#define FERRYLINK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
    FERRYLINK_TRANSPORT_TCP = 1,
    FERRYLINK_TRANSPORT_SERIAL = 2,
    FERRYLINK_TEXT_SIZE = 128, /* bytes of the text field */
    FERRYLINK_TEXT_MAX = 63    /* characters of it that are used */
};

/* What the host fills in to open the port: 133 bytes, no padding. */
#pragma pack(push, 1)
typedef struct FerryOpenRecord {
    uint8_t transport;              /* 1 = TCP, 2 = serial */
    char text[FERRYLINK_TEXT_SIZE]; /* IPv4 dotted-decimal address, or the serial port name */
    uint32_t number;                /* TCP base port (notifications on + 10), or baud rate */
} FerryOpenRecord;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(FerryOpenRecord) == 133, "open record must be 133 bytes");
static_assert(offsetof(FerryOpenRecord, number) == 129, "number must sit at offset 129");
#else
_Static_assert(sizeof(FerryOpenRecord) == 133, "open record must be 133 bytes");
_Static_assert(offsetof(FerryOpenRecord, number) == 129, "number must sit at offset 129");
#endif

/* Receives the target's data messages (and the link-failure notification,
 * message type 12, subtype 2). The payload belongs to the library and is
 * valid only during the call; the result is ignored. */
typedef int32_t (*FerryCallback)(int32_t reserved, const uint8_t *payload, int32_t length);

/* Result codes: see the top of this header. */
FERRYLINK_API int32_t OpenCommunicatonPort(const FerryOpenRecord *record);
FERRYLINK_API void CloseCommunicationPort(void);
FERRYLINK_API int32_t SendDataMessage(const void *data, int32_t length, int32_t command_type);
FERRYLINK_API int32_t ReadDataMessage(void *buffer, int32_t capacity);
FERRYLINK_API int32_t RegisterCallbackForProxy(FerryCallback callback);
FERRYLINK_API int32_t rdmremote(uint32_t address, void *destination, uint32_t count);
FERRYLINK_API int32_t wrmremote(uint32_t address, const uint32_t *value);

#ifdef __cplusplus
}
#endif

#endif
