// import: OCP reports into the store, run by run, each run in its own
// transaction as soon as its report ends, so a large import keeps one run
// in memory and an interrupted one keeps every run finished before.
#include "tuneresults/commands.h"

#include "results/record.h"
#include "results/report_reader.h"
#include "results/schema.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

using namespace results_store;

namespace {

struct FileCounts {
    int64_t stored = 0;
    int64_t already = 0;
    int64_t replaced = 0;
    int64_t incomplete = 0;
    int64_t refused = 0;
};

// Records what the reader has finished; false on a store error.
bool RecordFinished(Connection &db, ReportReader &reader, const std::string &name, FileCounts &counts)
{
    for (const RunData &run : reader.TakeRuns()) {
        Recorded outcome = Recorded::Stored;
        std::string error;
        if (!RecordRun(db, run, outcome, error)) {
            std::fprintf(stderr, "tuneresults: %s: run %s: %s\n", name.c_str(), run.runId.c_str(), error.c_str());
            return false;
        }
        counts.stored += outcome == Recorded::Stored ? 1 : 0;
        counts.already += outcome == Recorded::AlreadyStored ? 1 : 0;
        counts.replaced += outcome == Recorded::Replaced ? 1 : 0;
        counts.incomplete += outcome != Recorded::AlreadyStored && !run.complete ? 1 : 0;
    }
    return true;
}

} // namespace

int CmdImport(const Invocation &invocation)
{
    std::string error;
    std::unique_ptr<Connection> db = OpenStore(invocation.store, error);
    if (!db) {
        std::fprintf(stderr, "tuneresults: %s\n", error.c_str());
        return kExitStore;
    }
    std::vector<std::string> files = invocation.args;
    if (files.empty())
        files.push_back("-");
    Table table{{"file", "runs_stored", "already_stored", "replaced", "incomplete", "lines_refused"}, {}, 0};
    bool refused = false;
    std::ios::sync_with_stdio(false);
    for (const std::string &name : files) {
        std::ifstream file;
        if (name != "-") {
            file.open(name, std::ios::binary);
            if (!file) {
                std::fprintf(stderr, "tuneresults: %s: %s\n", name.c_str(), std::strerror(errno));
                refused = true;
                continue;
            }
        }
        std::istream &in = name == "-" ? std::cin : file;
        ReportReader reader;
        FileCounts counts;
        std::string line;
        std::string reason;
        for (int64_t number = 1; std::getline(in, line); ++number) {
            if (!reader.Line(line, reason)) {
                std::fprintf(stderr, "%s:%lld: %s\n", name.c_str(), static_cast<long long>(number), reason.c_str());
                ++counts.refused;
            }
            if (!RecordFinished(*db, reader, name, counts))
                return kExitStore;
        }
        if (in.bad()) {
            std::fprintf(stderr, "tuneresults: %s: read error\n", name.c_str());
            refused = true;
        }
        reader.End();
        if (!RecordFinished(*db, reader, name, counts))
            return kExitStore;
        refused = refused || counts.refused > 0;
        table.rows.push_back({TextField(name), IntegerField(counts.stored), IntegerField(counts.already),
                              IntegerField(counts.replaced), IntegerField(counts.incomplete),
                              IntegerField(counts.refused)});
    }
    int status = Print(table, invocation);
    return status != kExitOk ? status : refused ? kExitRefused : kExitOk;
}
