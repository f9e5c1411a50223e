/* A host program of the installed ferrylink, built outside the project from
 * the installed header and library. It opens the port over TCP to docksim on
 * 127.0.0.1, checks a remote read, a remote write read back, and one data
 * message of 16 bytes (docksim's "send 16", typed once this prints "ready"),
 * then closes the port. Exit 0 when all of that worked; otherwise one line
 * saying what failed, and exit 1. */
#define _POSIX_C_SOURCE 200809L

#include <ferrylink.h>

#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { kMessageSize = 16 };

/* The first data message, published to main by g_length. */
static uint8_t g_first[kMessageSize];
static atomic_int g_length = -1;
static atomic_int g_messages = 0;

static int32_t OnMessage(int32_t reserved, const uint8_t *payload, int32_t length)
{
    (void)reserved;
    if (atomic_fetch_add(&g_messages, 1) == 0) {
        memcpy(g_first, payload, length < kMessageSize ? (size_t)length : kMessageSize);
        atomic_store(&g_length, length);
    }
    return 0;
}

static int Fail(const char *what, long value)
{
    printf("consumer: %s (%ld)\n", what, value);
    CloseCommunicationPort();
    return 1;
}

/* What docksim's simulated memory holds where nothing was written. */
static uint8_t InitialByte(uint32_t address)
{
    return (uint8_t)((address * 2654435761u) >> 24);
}

int main(int argc, char **argv)
{
    char *end = NULL;
    unsigned long port = argc == 2 ? strtoul(argv[1], &end, 10) : 0;
    if (argc != 2 || *end != '\0')
        return Fail("usage: consumer BASE_PORT", 0);

    FerryOpenRecord record;
    memset(&record, 0, sizeof record);
    record.transport = FERRYLINK_TRANSPORT_TCP;
    strcpy(record.text, "127.0.0.1");
    record.number = (uint32_t)port;
    int32_t r = OpenCommunicatonPort(&record);
    if (r != 1)
        return Fail("OpenCommunicatonPort failed", r);
    /* A data message that finds no callback ends the receive thread. */
    r = RegisterCallbackForProxy(OnMessage);
    if (r != 0)
        return Fail("RegisterCallbackForProxy failed", r);
    printf("ready\n");
    fflush(stdout);

    const uint32_t address = 0x2000;
    uint8_t bytes[8];
    r = rdmremote(address, bytes, sizeof bytes);
    if (r != 0)
        return Fail("rdmremote failed", r);
    for (uint32_t i = 0; i < sizeof bytes; ++i)
        if (bytes[i] != InitialByte(address + i))
            return Fail("rdmremote: wrong byte at offset", (long)i);

    const uint32_t word = 0xA5C3E10Fu;
    r = wrmremote(address + 4, &word);
    if (r != 0)
        return Fail("wrmremote failed", r);
    r = rdmremote(address, bytes, sizeof bytes);
    if (r != 0)
        return Fail("rdmremote after wrmremote failed", r);
    /* The word goes out least significant byte first. */
    for (uint32_t i = 0; i < sizeof bytes; ++i) {
        uint8_t expected = i < 4 ? InitialByte(address + i) : (uint8_t)(word >> (8 * (i - 4)));
        if (bytes[i] != expected)
            return Fail("rdmremote after wrmremote: wrong byte at offset", (long)i);
    }

    const struct timespec tick = {0, 10 * 1000 * 1000};
    for (int waited = 0; atomic_load(&g_length) < 0 && waited < 1000; ++waited)
        nanosleep(&tick, NULL);
    int length = atomic_load(&g_length);
    if (length < 0)
        return Fail("no data message within 10 s", 0);
    if (length != kMessageSize)
        return Fail("data message of the wrong size", length);
    for (int i = 0; i < kMessageSize; ++i)
        if (g_first[i] != (uint8_t)i)
            return Fail("data message: wrong byte at offset", i);

    CloseCommunicationPort();
    int messages = atomic_load(&g_messages);
    if (messages != 1)
        return Fail("data messages received, expected 1", messages);
    return 0;
}
