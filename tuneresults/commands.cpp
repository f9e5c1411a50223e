#include "tuneresults/commands.h"

#include "results/schema.h"

#include <unistd.h>

using results_store::Connection;
using results_store::Row;
using results_store::Value;

std::unique_ptr<Connection> OpenForQuery(const Invocation &invocation)
{
    if (!results_store::IsPostgresUrl(invocation.store) && ::access(invocation.store.c_str(), F_OK) != 0) {
        std::fprintf(stderr, "tuneresults: %s: no such store (tuneresults import makes one)\n",
                     results_store::StoreName(invocation.store).c_str());
        return nullptr;
    }
    std::string error;
    std::unique_ptr<Connection> db = results_store::OpenStore(invocation.store, error);
    if (!db)
        std::fprintf(stderr, "tuneresults: %s\n", error.c_str());
    return db;
}

namespace {

bool Windowed(const Invocation &invocation)
{
    return invocation.sinceMs != Invocation{}.sinceMs || invocation.untilMs != Invocation{}.untilMs;
}

} // namespace

std::string WindowClause(const Invocation &invocation)
{
    return Windowed(invocation) ? " AND r.start_ms >= ? AND r.start_ms < ?" : "";
}

std::vector<Value> WindowValues(const Invocation &invocation)
{
    if (!Windowed(invocation))
        return {};
    return {invocation.sinceMs, invocation.untilMs};
}

std::string RunsJoin(const Invocation &invocation, const char *alias)
{
    return Windowed(invocation) ? std::string(" JOIN runs r ON r.run_id = ") + alias + ".run_id" : "";
}

bool Query(Connection &db, const std::string &sql, const std::vector<Value> &params, std::vector<Row> &rows)
{
    std::string error;
    if (db.Run(sql, params, &rows, nullptr, error))
        return true;
    std::fprintf(stderr, "tuneresults: %s: %s\n", db.Kind(), error.c_str());
    return false;
}

int RunQuery(const Invocation &invocation, bool (*query)(Connection &, const Invocation &, Table &))
{
    std::unique_ptr<Connection> db = OpenForQuery(invocation);
    if (!db)
        return kExitStore;
    Table table;
    if (!query(*db, invocation, table))
        return kExitStore;
    return Print(table, invocation);
}

int Print(const Table &table, const Invocation &invocation)
{
    if (PrintTable(table, invocation.format, stdout))
        return kExitOk;
    std::fprintf(stderr, "tuneresults: cannot write standard output\n");
    return kExitStore;
}
