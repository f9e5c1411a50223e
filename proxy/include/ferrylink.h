/* ferrylink: host proxy to the target-side dock over TCP or a serial line.
 *
 * Usage: OpenCommunicatonPort, RegisterCallbackForProxy, then any of
 * SendDataMessage, ReadDataMessage, rdmremote and wrmremote, and finally
 * CloseCommunicationPort. Call the exports from one thread at a time. */
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
  FERRYLINK_TEXT_SIZE = 128,      /* bytes of the text field */
  FERRYLINK_TEXT_MAX = 63         /* characters of it that are used */
};

/* What the host fills in to open the port: 133 bytes, no padding. */
#pragma pack(push, 1)
typedef struct FerryOpenRecord {
  uint8_t transport;                 /* 1 = TCP, 2 = serial */
  char text[FERRYLINK_TEXT_SIZE];    /* IPv4 dotted-decimal address, or the serial port name */
  uint32_t number;                   /* TCP base port (notifications on + 10), or baud rate */
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

/* 1 on success, -1 on failure. */
FERRYLINK_API int32_t OpenCommunicatonPort(const FerryOpenRecord *record);
FERRYLINK_API void CloseCommunicationPort(void);
/* 0 when the whole packet went out, -1 otherwise. */
FERRYLINK_API int32_t SendDataMessage(const void *data, int32_t length, int32_t command_type);
/* Bytes placed in the buffer (the packet from its command type on), or a negative code. */
FERRYLINK_API int32_t ReadDataMessage(void *buffer, int32_t capacity);
FERRYLINK_API int32_t RegisterCallbackForProxy(FerryCallback callback);
FERRYLINK_API int32_t rdmremote(uint32_t address, void *destination, uint32_t count);
FERRYLINK_API int32_t wrmremote(uint32_t address, const uint32_t *value);

#ifdef __cplusplus
}
#endif

#endif
