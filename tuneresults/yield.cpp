// yield: first-pass yield (units whose first run passed / units) and final
// yield (units whose last run passed / units), over the runs in the window,
// per group. A unit belongs to every group it has runs in; within a group
// its first and last run are those of that group (a unit first tested on
// bench A and retested on bench B counts once at each).
#include "tuneresults/commands.h"

#include "results/timestamps.h"

#include <map>

using namespace results_store;

namespace {

// The line's three shifts, in UTC: early 06-14, late 14-22, night 22-06.
std::string ShiftOf(int64_t ms)
{
    int hour = HourOf(ms);
    return hour >= 6 && hour < 14 ? "early" : hour >= 14 && hour < 22 ? "late" : "night";
}

struct UnitRuns {
    bool firstPassed = false;
    bool lastPassed = false;
    int64_t runs = 0;
};

} // namespace

bool YieldTable(Connection &db, const Invocation &invocation, Table &table)
{
    std::vector<Row> rows;
    if (!Query(db,
               std::string("SELECT r.dut_id, r.start_ms, r.station, r.fixture, r.result FROM runs r WHERE 1 = 1") +
                   WindowClause(invocation) + " ORDER BY r.dut_id, r.start_ms, r.run_id",
               WindowValues(invocation), rows))
        return false;
    // group -> unit -> its runs there, in time order
    std::map<std::string, std::map<std::string, UnitRuns>> groups;
    for (const Row &row : rows) {
        int64_t ms = CellInt(row[1]);
        std::string group = invocation.by == "station"   ? CellText(row[2])
                            : invocation.by == "fixture" ? CellText(row[3])
                            : invocation.by == "day"     ? DayOf(ms)
                            : invocation.by == "shift"   ? ShiftOf(ms)
                                                         : "all";
        UnitRuns &unit = groups[group][CellText(row[0])];
        bool passed = CellText(row[4]) == "PASS";
        if (unit.runs++ == 0)
            unit.firstPassed = passed;
        unit.lastPassed = passed;
    }
    table = Table{{invocation.by.empty() ? "group" : invocation.by, "units", "runs", "first_pass", "first_pass_yield",
                   "final_pass", "final_yield"},
                  {},
                  0};
    for (const auto &[group, units] : groups) {
        int64_t runs = 0, firstPass = 0, finalPass = 0;
        for (const auto &[id, unit] : units) {
            runs += unit.runs;
            firstPass += unit.firstPassed ? 1 : 0;
            finalPass += unit.lastPassed ? 1 : 0;
        }
        double count = double(units.size());
        table.rows.push_back({group.empty() ? NullField() : TextField(group), IntegerField(int64_t(units.size())),
                              IntegerField(runs), IntegerField(firstPass), NumberField(100.0 * firstPass / count, 1),
                              IntegerField(finalPass), NumberField(100.0 * finalPass / count, 1)});
    }
    return true;
}

int CmdYield(const Invocation &invocation)
{
    return RunQuery(invocation, YieldTable);
}
