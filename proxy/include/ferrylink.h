/* ferrylink: host proxy to the target-side dock over TCP or a serial line.
 *
 * Usage: OpenCommunicatonPort, RegisterCallbackForProxy, then any of
 * SendDataMessage, ReadDataMessage, rdmremote and wrmremote, and finally
 * CloseCommunicationPort.
 *
 * Threads. The exports serialise themselves: a call from a second thread
 * waits until the first thread's call has returned, so that no call ever
 * gets another's reply. The callback runs on one of the library's threads
 * and may call the exports while a host call waits (they do not wait for
 * it): SendDataMessage, wrmremote, RegisterCallbackForProxy,
 * CloseCommunicationPort and the 1.1 functions; over TCP rdmremote and
 * ReadDataMessage too (they wait for the host call's reply to be read
 * first). On a serial line the callback's thread is the one that delivers
 * replies, so rdmremote and ReadDataMessage from it return -1, and an open
 * from the callback returns -1 on both transports. FerryLinkState,
 * FerryDroppedMessages and FerryInterrupt never wait for another call.
 *
 * Replies and requests. A reply carries no request number: on both
 * transports a reply is matched to its request by order alone. So a reply
 * that does not arrive whole within the reply limit leaves the link out of
 * step: it may still come, and would then be taken for the answer to the
 * next request. The library never lets that happen: such a read fails with
 * -4 and the link fails. A request that went out only in part (the target
 * stopped taking bytes for the send limit) leaves the target mid-packet,
 * so it fails the link too, exactly like a send where nothing went out. On
 * the serial line, a remote read reply read off the line before rdmremote
 * sends its request is thrown away, never returned as that request's
 * answer. A remote read reply that carries fewer bytes than were asked for
 * is read whole (the link stays in step) but refused with -7.
 *
 * Link failure. The link fails when a send fails or goes out short, when a
 * reply does not come whole in time, when FerryInterrupt ends a wait, and
 * when the target ends the link: the notification connection closes or
 * fails, the command connection closes while no call uses it, or the
 * serial line fails. The port then counts as closed (later calls return
 * -1, ReadDataMessage too; FerryLinkState says FERRYLINK_STATE_FAILED) and
 * the registered callback gets the link-failure notification (message type
 * 12, subtype 2) exactly once: on the calling thread, as the call returns,
 * when a call found the failure or was under way when the library's thread
 * saw it; otherwise on the library's own thread at once, so that a host
 * that only waits for data messages learns that the link is gone. A failed
 * link is never used again: the next OpenCommunicatonPort makes a fresh one
 * (new TCP connections, a freshly opened serial line).
 *
 * Data messages. The receive threads run from the open on. A data message
 * that arrives while no callback is registered (before the registration,
 * or after the host unregistered with null) is kept; once a callback is
 * registered the kept messages reach it first, in order, before any newer
 * one. At most FERRYLINK_EARLY_LIMIT bytes of payload (and 65,536
 * messages) are kept; a message beyond that is dropped. A message longer
 * than FERRYLINK_MAX_MESSAGE is dropped, and so is one that did not arrive
 * whole or claims more payload than it carried. The serial reader never
 * waits for the host: while 4 MiB of packets wait for a callback that
 * cannot keep up, further packets are dropped (never spliced).
 * FerryDroppedMessages counts the data messages dropped since the last
 * open: beyond the bound, too long, beyond the serial queue, and the ones
 * still kept when the port closed or failed.
 *
 * Serial framing. The signature is searched for byte by byte, so noise
 * loses only itself. A line quiet for 500 ms (measured from the last byte
 * that arrived) ends the packet under way: a packet cut short is dropped,
 * never completed with later bytes. A header whose length no TLV packet can
 * have (over 65,540 bytes) is taken for noise.
 *
 * Time limits: every call returns within them. TCP connect: 10 s per
 * connection. A send that makes no progress: 10 s. A reply: 10 s (header
 * and body together). The serial device-open acknowledgement: 5 s.
 * FerrySetLimits changes them (1 ms to 600 s each) for the waits that start
 * after it. FerryInterrupt ends a wait at once (see there).
 *
 * Diagnostics. The TCP receive thread names a header with a wrong
 * signature and a packet other than a data message on the notification
 * connection on standard error, never on standard output.
 *
 * Result codes, by function (FerryResultText gives a sentence for each):
 *   OpenCommunicatonPort      1 open; -1 refused or failed: no or unknown
 *                             record, a text over 63 characters or
 *                             unterminated, a TCP base port of 0 or above
 *                             65525 (its notification port, base + 10,
 *                             would pass 65535), an address that is not
 *                             strictly dotted-decimal IPv4 (four numbers
 *                             from 0 to 255, no leading zeros), no
 *                             connection, a serial line that cannot be
 *                             opened or set up (or an unsupported baud
 *                             rate), no or a wrong acknowledgement of the
 *                             device open, a connection that ended during
 *                             it, or a call from inside the callback;
 *                             -8 interrupted.
 *   SendDataMessage           0 sent whole; -1 port not open, a length below
 *                             0 or above 2,043, no data for a length above 0,
 *                             or the packet went out short or not at all
 *                             (the link fails); -8 interrupted.
 *   ReadDataMessage           the packet's size (from its command type on);
 *                             -6 no buffer or a capacity of 0 or less;
 *                             -1 no link, or the link has failed or closed,
 *                             or (serial) a call from inside the callback;
 *                             -4 no whole reply in time (the link fails), or
 *                             a reply larger than the capacity (read
 *                             through and thrown away; the link stays up);
 *                             -8 interrupted.
 *   RegisterCallbackForProxy  0 stored (null unregisters); -1 port not open.
 *   rdmremote                 0 the destination holds the count's bytes;
 *                             -7 the reply carried fewer (the link stays
 *                             up); -1 port not open, a count above 2,043, no
 *                             destination for a count above 0, or (serial)
 *                             a call from inside the callback; -5 the
 *                             request could not be sent whole (the link
 *                             fails); -4 no whole remote read reply in time,
 *                             or a packet of another type in its place (the
 *                             link fails); -8 interrupted. The destination
 *                             is zero-filled on every code but 0 and -1.
 *   wrmremote                 0 the request went out (no reply is awaited);
 *                             -1 port not open or no value; -5 the request
 *                             could not be sent whole (the link fails); -8
 *                             interrupted.
 *   CloseCommunicationPort    no result; safe to call at any time.
 *   FerrySetLimits            0; -6 no record or a limit out of range.
 * "Interrupted" (-8): FerryInterrupt ended the call's wait for the target;
 * the link fails (an open leaves the port closed). */
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

/* The library's version as this header knows it; FerryVersion() gives the
 * one loaded at run time. The minor number grows with added exports. */
#define FERRYLINK_VERSION_MAJOR 1
#define FERRYLINK_VERSION_MINOR 1
#define FERRYLINK_VERSION_PATCH 0

enum {
    FERRYLINK_TRANSPORT_TCP = 1,
    FERRYLINK_TRANSPORT_SERIAL = 2,
    FERRYLINK_TEXT_SIZE = 128, /* bytes of the text field */
    FERRYLINK_TEXT_MAX = 63    /* characters of it that are used */
};

/* The link's rules, for hosts that take a link from their users. */
enum {
    FERRYLINK_DEFAULT_PORT = 2800,   /* the TCP base port when none is given */
    FERRYLINK_NOTIFY_OFFSET = 10,    /* data messages come on the base port + 10 */
    FERRYLINK_MAX_BASE_PORT = 65525, /* so that the notification port exists */
    FERRYLINK_DEFAULT_BAUD = 115200, /* the baud rate when none is given */
    FERRYLINK_MAX_REQUEST = 2043,    /* payload bytes of one request: SendDataMessage's
                                        length, rdmremote's count */
    FERRYLINK_MAX_MESSAGE = 8187,    /* payload bytes of the largest data message the
                                        callback is given; a longer one is dropped */
    FERRYLINK_EARLY_LIMIT = 1048576  /* payload bytes of data messages kept while no
                                        callback is registered */
};

/* Result codes (see each function at the top of this header for when). */
enum {
    FERRYLINK_OPENED = 1,
    FERRYLINK_OK = 0,
    FERRYLINK_E_NOT_OPEN = -1,    /* the port is not open, or the call was refused */
    FERRYLINK_E_NO_REPLY = -4,    /* no whole reply in time, or one too large */
    FERRYLINK_E_SEND = -5,        /* the request could not be sent */
    FERRYLINK_E_ARGUMENT = -6,    /* an argument the call cannot take */
    FERRYLINK_E_SHORT_REPLY = -7, /* a remote read reply carried fewer bytes than the count */
    FERRYLINK_E_INTERRUPTED = -8  /* FerryInterrupt ended the wait */
};

/* What FerryLinkState tells. */
enum {
    FERRYLINK_STATE_CLOSED = 0, /* never opened, closed by the host, or the last open failed */
    FERRYLINK_STATE_OPEN = 1,
    FERRYLINK_STATE_FAILED = 2 /* the link failed; the next open makes a new one */
};

/* The time limits, in milliseconds (1 to 600000 each). */
typedef struct FerryLimits {
    uint32_t reply_ms;   /* a whole reply, header and body (default 10000) */
    uint32_t send_ms;    /* a send that makes no progress (default 10000) */
    uint32_t connect_ms; /* each TCP connection (default 10000) */
    uint32_t ack_ms;     /* the serial device-open acknowledgement (default 5000) */
} FerryLimits;

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

/* Result codes: see the top of this header. The name OpenCommunicatonPort
 * is spelled so on purpose: it is the name hosts link against, and part of
 * the interface like the others. */
FERRYLINK_API int32_t OpenCommunicatonPort(const FerryOpenRecord *record);
FERRYLINK_API void CloseCommunicationPort(void);
FERRYLINK_API int32_t SendDataMessage(const void *data, int32_t length, int32_t command_type);
FERRYLINK_API int32_t ReadDataMessage(void *buffer, int32_t capacity);
FERRYLINK_API int32_t RegisterCallbackForProxy(FerryCallback callback);
FERRYLINK_API int32_t rdmremote(uint32_t address, void *destination, uint32_t count);
FERRYLINK_API int32_t wrmremote(uint32_t address, const uint32_t *value);

/* Added in 1.1. */

/* The loaded library's version, "MAJOR.MINOR.PATCH". */
FERRYLINK_API const char *FerryVersion(void);
/* A sentence for a result code of any function; never null. */
FERRYLINK_API const char *FerryResultText(int32_t code);
/* The limits in force, and new ones for the waits that start after the
 * call: 0, or -6 for no record or a limit outside 1 to 600000 ms. */
FERRYLINK_API void FerryGetLimits(FerryLimits *limits);
FERRYLINK_API int32_t FerrySetLimits(const FerryLimits *limits);
/* FERRYLINK_STATE_CLOSED, _OPEN or _FAILED. */
FERRYLINK_API int32_t FerryLinkState(void);
/* Data messages dropped since the port was last opened: kept too long for a
 * callback never registered, beyond FERRYLINK_EARLY_LIMIT, longer than
 * FERRYLINK_MAX_MESSAGE, or beyond what a slow callback let wait. */
FERRYLINK_API uint64_t FerryDroppedMessages(void);
/* Ends a wait for the target under way in another thread or in the thread
 * a signal interrupted: that call returns -8 and the link fails (a reply
 * may still come). Safe to call from a signal handler. A call that starts
 * after it is not affected. */
FERRYLINK_API void FerryInterrupt(void);

#ifdef __cplusplus
}
#endif

#endif
