/* The public header compiles as C and the exports link from C. */
#include <stdio.h>

#include <ferrylink.h>

static int32_t OnMessage(int32_t reserved, const uint8_t *payload, int32_t length)
{
    (void)reserved;
    (void)payload;
    (void)length;
    return 0;
}

int main(void)
{
    FerryOpenRecord record = {0};
    if (sizeof record != 133)
        return 1;
    if (RegisterCallbackForProxy(OnMessage) != -1)
        return 2; /* the port is not open */
    CloseCommunicationPort();
    record.transport = 3;
    if (OpenCommunicatonPort(&record) != -1)
        return 3;
    FerryLimits limits;
    FerryGetLimits(&limits);
    if (FerrySetLimits(&limits) != FERRYLINK_OK || FerryLinkState() != FERRYLINK_STATE_CLOSED)
        return 4;
    if (FerryVersion() == NULL || FerryResultText(FERRYLINK_E_INTERRUPTED) == NULL || FerryDroppedMessages() != 0)
        return 5;
    FerryInterrupt();
    puts("ok");
    return 0;
}
