#include "results/libpq_loader.h"

#include <dlfcn.h>

namespace results_store {
namespace {

// The run-time name of Debian's libpq5 (the ABI these signatures are of).
constexpr const char *kLibPqName = "libpq.so.5";

struct Loaded {
    LibPq api{};
    std::string error;
    bool ok = false;
};

template <typename Function> bool Resolve(void *library, const char *name, Function &function, std::string &error)
{
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) {
        error = std::string("the PostgreSQL client library lacks ") + name;
        return false;
    }
    function = reinterpret_cast<Function>(symbol);
    return true;
}

Loaded Load()
{
    Loaded loaded;
    // Kept loaded for the life of the process: connections may close late.
    void *library = dlopen(kLibPqName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *why = dlerror();
        loaded.error = std::string("the PostgreSQL client library cannot be loaded (Debian package libpq5): ") +
                       (why != nullptr ? why : kLibPqName);
        return loaded;
    }
    LibPq &pq = loaded.api;
    std::string &e = loaded.error;
    loaded.ok = Resolve(library, "PQconnectdb", pq.connectdb, e) && Resolve(library, "PQstatus", pq.status, e) &&
                Resolve(library, "PQerrorMessage", pq.errorMessage, e) &&
                Resolve(library, "PQsetNoticeProcessor", pq.setNoticeProcessor, e) &&
                Resolve(library, "PQfinish", pq.finish, e) && Resolve(library, "PQexec", pq.exec, e) &&
                Resolve(library, "PQexecParams", pq.execParams, e) &&
                Resolve(library, "PQresultStatus", pq.resultStatus, e) &&
                Resolve(library, "PQresultErrorMessage", pq.resultErrorMessage, e) &&
                Resolve(library, "PQntuples", pq.ntuples, e) && Resolve(library, "PQnfields", pq.nfields, e) &&
                Resolve(library, "PQgetisnull", pq.getisnull, e) && Resolve(library, "PQgetvalue", pq.getvalue, e) &&
                Resolve(library, "PQgetlength", pq.getlength, e) && Resolve(library, "PQcmdTuples", pq.cmdTuples, e) &&
                Resolve(library, "PQclear", pq.clear, e);
    return loaded;
}

} // namespace

const LibPq *LoadLibPq(std::string &error)
{
    static const Loaded loaded = Load(); // thread-safe, once
    if (!loaded.ok) {
        error = loaded.error;
        return nullptr;
    }
    return &loaded.api;
}

} // namespace results_store
