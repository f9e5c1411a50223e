// pareto: what fails most. Failed verdicts (diagnoses of type FAIL) by
// verdict, and measurements outside their limits by name (series too), each
// with its count, the runs it failed in, its share of its kind's failures
// and the running total of the shares, most frequent first.
#include "tuneresults/commands.h"

#include <algorithm>

using namespace results_store;

namespace {

struct Kind {
    const char *name;
    const char *sql; // name, count, runs
};

const Kind kKinds[] = {
    {"diagnosis", "SELECT d.verdict, COUNT(*), COUNT(DISTINCT d.run_id) FROM diagnoses d{join:d} WHERE d.type = "
                  "'FAIL'"},
    {"measurement", "SELECT f.name, COUNT(*), COUNT(DISTINCT f.run_id) FROM (SELECT name, run_id FROM measurements "
                    "WHERE pass = 0 UNION ALL SELECT name, run_id FROM measurement_series WHERE pass = 0) f{join:f} "
                    "WHERE 1 = 1"},
};

} // namespace

bool ParetoTable(Connection &db, const Invocation &invocation, Table &table)
{
    table = Table{{"kind", "name", "count", "runs", "share", "cumulative"}, {}, 0};
    for (const Kind &kind : kKinds) {
        std::vector<Row> rows;
        std::string sql = kind.sql;
        std::size_t join = sql.find("{join:");
        sql.replace(join, 8, RunsJoin(invocation, sql.substr(join + 6, 1).c_str()));
        if (!Query(db, sql + WindowClause(invocation) + " GROUP BY 1", WindowValues(invocation), rows))
            return false;
        std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) {
            int64_t ca = CellInt(a[1]), cb = CellInt(b[1]);
            return ca != cb ? ca > cb : CellText(a[0]) < CellText(b[0]);
        });
        int64_t total = 0;
        for (const Row &row : rows)
            total += CellInt(row[1]);
        int64_t running = 0;
        for (const Row &row : rows) {
            running += CellInt(row[1]);
            table.rows.push_back({TextField(kind.name), TextField(CellText(row[0])), IntegerField(CellInt(row[1])),
                                  IntegerField(CellInt(row[2])), NumberField(100.0 * CellInt(row[1]) / total, 1),
                                  NumberField(100.0 * running / total, 1)});
        }
    }
    return true;
}

int CmdPareto(const Invocation &invocation)
{
    return RunQuery(invocation, ParetoTable);
}
