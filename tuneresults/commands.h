// tuneresults' commands, one function each, and what they share: the
// invocation the command line made, the store opened for them, the time
// window every query takes.
#ifndef TUNERESULTS_COMMANDS_H
#define TUNERESULTS_COMMANDS_H

#include "results/connection.h"
#include "tuneresults/output.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitStore = 1;   // the store could not be opened, read or written
constexpr int kExitRefused = 2; // import: a line or a run was refused, the rest imported
constexpr int kExitUsage = 64;  // as sysexits' EX_USAGE

struct Invocation {
    std::string store;
    Format format = Format::Table;
    std::string by; // yield: station, fixture, day, shift; empty for one group
    int64_t sinceMs = std::numeric_limits<int64_t>::min();
    int64_t untilMs = std::numeric_limits<int64_t>::max();
    int64_t count = 10; // failures -n
    std::vector<std::string> args;
    std::string listen = "127.0.0.1:8080"; // serve --listen
};

int CmdImport(const Invocation &invocation);
int CmdYield(const Invocation &invocation);
int CmdPareto(const Invocation &invocation);
int CmdStats(const Invocation &invocation);
int CmdHistory(const Invocation &invocation);
int CmdFailures(const Invocation &invocation);
int CmdServe(const Invocation &invocation);

// The query commands' answers, for the table output and the dashboard alike;
// false after printing the store's error.
bool YieldTable(results_store::Connection &db, const Invocation &invocation, Table &table);
bool ParetoTable(results_store::Connection &db, const Invocation &invocation, Table &table);
bool StatsTable(results_store::Connection &db, const Invocation &invocation, Table &table);
bool HistoryTable(results_store::Connection &db, const Invocation &invocation, Table &table);
bool FailuresTable(results_store::Connection &db, const Invocation &invocation, Table &table);
// A query command: the store opened, the table made and printed; the exit
// status.
int RunQuery(const Invocation &invocation, bool (*query)(results_store::Connection &, const Invocation &, Table &));

// The store for a query: an SQLite file must exist already. Null after
// printing why.
std::unique_ptr<results_store::Connection> OpenForQuery(const Invocation &invocation);
// " AND r.start_ms >= ? AND r.start_ms < ?" for runs as r, and its values;
// nothing without --since or --until.
std::string WindowClause(const Invocation &invocation);
std::vector<results_store::Value> WindowValues(const Invocation &invocation);
// " JOIN runs r ON r.run_id = ALIAS.run_id" when there is a window, for
// the queries that need runs for nothing else.
std::string RunsJoin(const Invocation &invocation, const char *alias);
// Runs a query, printing the error; false then.
bool Query(results_store::Connection &db, const std::string &sql, const std::vector<results_store::Value> &params,
           std::vector<results_store::Row> &rows);
// Prints the table; the exit status.
int Print(const Table &table, const Invocation &invocation);

#endif
