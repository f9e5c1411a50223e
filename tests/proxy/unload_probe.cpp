// Loads the proxy at run time, opens a link to an in-process docksim,
// unloads the proxy with the link still open and carries on. Unloading
// must neither end nor hang the process, and neither must its exit.
#include <dlfcn.h>

#include <cstdio>

#include "docksim/docksim.h"
#include <ferrylink.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    void *library = ::dlopen(argv[1], RTLD_NOW);
    if (library == nullptr)
        return 3;
    auto open = reinterpret_cast<int32_t (*)(const FerryOpenRecord *)>(::dlsym(library, "OpenCommunicatonPort"));
    if (open == nullptr)
        return 4;

    auto sim = docksim::DockSim::ListenTcpAny({});
    if (!sim)
        return 5;
    FerryOpenRecord record{};
    record.transport = FERRYLINK_TRANSPORT_TCP;
    std::snprintf(record.text, sizeof record.text, "127.0.0.1");
    record.number = sim->BasePort();
    if (open(&record) != 1)
        return 6;

    ::dlclose(library);
    std::printf("after unload\n");
    std::fflush(stdout);
    sim->SendDataMessage({1}); // the receive thread is still there to take it
    return 0;
}
