// history and failures: runs one by one. history lists every run of one
// unit, retests included, oldest first; failures the last runs that did not
// pass completely, newest first, each followed by what failed in it: steps
// not complete, failed verdicts, measurements outside their limits, and
// error logs.
#include "tuneresults/commands.h"

#include <algorithm>
#include <array>
#include <map>

using namespace results_store;

namespace {

std::vector<Value> Params(const std::vector<Value> &first, const std::vector<Value> &second)
{
    std::vector<Value> all = first;
    all.insert(all.end(), second.begin(), second.end());
    return all;
}

Field Nullable(const Cell &cell)
{
    return cell ? TextField(*cell) : NullField();
}

std::string NumberText(const Cell &cell)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", CellDouble(cell));
    return text;
}

// What failed in one run, in report order: kind, step, detail.
bool FailingItems(Connection &db, const std::string &runId, std::vector<std::array<std::string, 3>> &items)
{
    std::vector<Row> steps;
    if (!Query(db, "SELECT step_id, name, status FROM steps WHERE run_id = ? ORDER BY start_time, step_id", {runId},
               steps))
        return false;
    std::map<std::string, std::string> names;
    for (const Row &step : steps) {
        names[CellText(step[0])] = CellText(step[1]);
        if (CellText(step[2]) != "COMPLETE")
            items.push_back({"step", CellText(step[1]), step[2] ? *step[2] : "not ended"});
    }
    // seq, kind, step, detail: the three kinds merged in report order.
    std::vector<Row> rows;
    const char *const kQueries[] = {
        "SELECT seq, 'diagnosis', step_id, verdict, message, NULL FROM diagnoses WHERE run_id = ? AND type = 'FAIL'",
        "SELECT seq, 'measurement', step_id, name, value, unit FROM measurements WHERE run_id = ? AND pass = 0",
        "SELECT seq, 'log', step_id, severity, message, symptom FROM logs WHERE run_id = ? AND severity IN "
        "('ERROR', 'FATAL')",
    };
    for (const char *sql : kQueries)
        if (!Query(db, sql, {runId}, rows))
            return false;
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row &a, const Row &b) { return CellInt(a[0]) < CellInt(b[0]); });
    for (const Row &row : rows) {
        std::string kind = CellText(row[1]);
        std::string detail;
        if (kind == "diagnosis")
            detail = CellText(row[3]) + ": " + CellText(row[4]);
        else if (kind == "measurement")
            detail = CellText(row[3]) + " = " + NumberText(row[4]) + (row[5] ? " " + *row[5] : "");
        else
            detail = CellText(row[3]) + (row[5] ? " " + *row[5] : "") + ": " + CellText(row[4]);
        items.push_back({kind, row[2] ? names[*row[2]] : "", detail});
    }
    return true;
}

} // namespace

bool HistoryTable(Connection &db, const Invocation &invocation, Table &table)
{
    std::vector<Row> rows;
    if (!Query(db,
               std::string("SELECT r.start_time, r.end_time, r.run_id, r.station, r.fixture, r.operator, r.result, "
                           "r.status, r.complete, (SELECT COUNT(*) FROM diagnoses d WHERE d.run_id = r.run_id AND "
                           "d.type = 'FAIL') FROM runs r WHERE r.dut_id = ?") +
                   WindowClause(invocation) + " ORDER BY r.start_ms, r.run_id",
               Params({invocation.args[0]}, WindowValues(invocation)), rows))
        return false;
    table = Table{{"attempt", "start_time", "end_time", "run_id", "station", "fixture", "operator", "result", "status",
                   "complete", "failed_verdicts"},
                  {},
                  0};
    int64_t attempt = 0;
    for (const Row &row : rows)
        table.rows.push_back({IntegerField(++attempt), Nullable(row[0]), Nullable(row[1]), Nullable(row[2]),
                              Nullable(row[3]), Nullable(row[4]), Nullable(row[5]), Nullable(row[6]), Nullable(row[7]),
                              TextField(CellInt(row[8]) != 0 ? "yes" : "no"), IntegerField(CellInt(row[9]))});
    return true;
}

int CmdHistory(const Invocation &invocation)
{
    return RunQuery(invocation, HistoryTable);
}

bool FailuresTable(Connection &db, const Invocation &invocation, Table &table)
{
    const std::vector<Value> params = Params(WindowValues(invocation), {invocation.count});
    std::vector<Row> runs;
    if (!Query(db,
               std::string("SELECT r.run_id, r.dut_id, r.start_time, r.station, r.result, r.status FROM runs r "
                           "WHERE (COALESCE(r.result, '') <> 'PASS' OR COALESCE(r.status, '') <> 'COMPLETE')") +
                   WindowClause(invocation) + " ORDER BY r.start_ms DESC, r.run_id DESC LIMIT ?",
               params, runs))
        return false;
    table = Table{{"run_id", "dut_id", "start_time", "station", "result", "status", "kind", "step", "detail"}, {}, 6};
    for (const Row &run : runs) {
        std::vector<std::array<std::string, 3>> items;
        if (!FailingItems(db, CellText(run[0]), items))
            return false;
        if (items.empty())
            items.push_back({"run", "", "nothing recorded failed"});
        for (const auto &item : items)
            table.rows.push_back({Nullable(run[0]), Nullable(run[1]), Nullable(run[2]), Nullable(run[3]),
                                  Nullable(run[4]), Nullable(run[5]), TextField(item[0]),
                                  item[1].empty() ? NullField() : TextField(item[1]), TextField(item[2])});
    }
    return true;
}

int CmdFailures(const Invocation &invocation)
{
    return RunQuery(invocation, FailuresTable);
}
