// Preloaded into tuneprobe by the tests that must see whether the interface
// was opened and the device connected, disconnected and closed: each of
// those calls appends its name (and the result, for the connections) as a
// line to the file that CALL_TRACE names, then goes on to the library.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

typedef void *Handle;
typedef Handle (*OpenFunction)(uint32_t, const char *, uint32_t);
typedef int (*CloseFunction)(void);
typedef const char *(*DeviceFunction)(Handle);

static void Trace(const char *name, const char *result)
{
    const char *path = getenv("CALL_TRACE");
    if (path == NULL)
        return;
    FILE *file = fopen(path, "a");
    if (file == NULL)
        return;
    fprintf(file, "%s%s%s\n", name, result ? " " : "", result ? result : "");
    fclose(file);
}

Handle GetCalInterface(uint32_t type, const char *address, uint32_t number)
{
    OpenFunction next = (OpenFunction)dlsym(RTLD_NEXT, "GetCalInterface");
    Handle handle = next(type, address, number);
    Trace("GetCalInterface", handle ? "handle" : "null");
    return handle;
}

int CloseCalInterface(void)
{
    CloseFunction next = (CloseFunction)dlsym(RTLD_NEXT, "CloseCalInterface");
    Trace("CloseCalInterface", NULL);
    return next();
}

const char *ConnectDevice(Handle handle)
{
    DeviceFunction next = (DeviceFunction)dlsym(RTLD_NEXT, "ConnectDevice");
    const char *error = next(handle);
    Trace("ConnectDevice", error ? "failed" : "ok");
    return error;
}

const char *DisconnectDevice(Handle handle)
{
    DeviceFunction next = (DeviceFunction)dlsym(RTLD_NEXT, "DisconnectDevice");
    const char *error = next(handle);
    Trace("DisconnectDevice", error ? "failed" : "ok");
    return error;
}
