// libpq, loaded when a PostgreSQL store is first named rather than at every
// program start: linked in, its dependencies (TLS, Kerberos, LDAP) cost
// each tuneprobe and tuneresults start more than the rest of the program.
// The signatures come from libpq-fe.h, so a mismatch does not compile.
#ifndef RESULTS_LIBPQ_LOADER_H
#define RESULTS_LIBPQ_LOADER_H

#include <libpq-fe.h>

#include <string>

namespace results_store {

struct LibPq {
    decltype(&PQconnectdb) connectdb;
    decltype(&PQstatus) status;
    decltype(&PQerrorMessage) errorMessage;
    decltype(&PQsetNoticeProcessor) setNoticeProcessor;
    decltype(&PQfinish) finish;
    decltype(&PQexec) exec;
    decltype(&PQexecParams) execParams;
    decltype(&PQresultStatus) resultStatus;
    decltype(&PQresultErrorMessage) resultErrorMessage;
    decltype(&PQntuples) ntuples;
    decltype(&PQnfields) nfields;
    decltype(&PQgetisnull) getisnull;
    decltype(&PQgetvalue) getvalue;
    decltype(&PQgetlength) getlength;
    decltype(&PQcmdTuples) cmdTuples;
    decltype(&PQclear) clear;
};

// The library's entry points, loaded once for the process (later calls
// answer at once); null, with the reason in error, when libpq is not
// installed or lacks one of them.
const LibPq *LoadLibPq(std::string &error);

} // namespace results_store

#endif
