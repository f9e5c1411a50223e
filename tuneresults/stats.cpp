// stats: per numeric measurement (or the one named), its count, mean,
// sample standard deviation, range, the limits when every value had the
// same ones, Cp and Cpk when both limits exist, and how many values fell
// outside their own limits. The spread is summed around the mean from a
// first pass, not from sums of squares, which lose a small spread of
// large values (frequencies in kHz) to rounding.
#include "tuneresults/commands.h"

#include <algorithm>
#include <cmath>

using namespace results_store;

namespace {

// The means, per measurement name; then for each name its count, min,
// max, low limit range and count, high limit range and count, values
// outside, unit and squared deviations from its mean. One query per name
// scans that name's part of the covering index alone; a join of every
// value with its name's mean cost a lookup per value.
const char kMeans[] = "SELECT m.name, AVG(m.value) FROM measurements m{join} "
                      "WHERE m.value IS NOT NULL{name}{window} GROUP BY m.name ORDER BY m.name";
const char kSpread[] =
    "SELECT COUNT(m.value), MIN(m.value), MAX(m.value), MIN(m.low_limit), MAX(m.low_limit), "
    "COUNT(m.low_limit), MIN(m.high_limit), MAX(m.high_limit), COUNT(m.high_limit), "
    "SUM(CASE WHEN m.value < m.low_limit OR m.value > m.high_limit THEN 1 ELSE 0 END), MAX(m.unit), "
    "SUM((m.value - ?) * (m.value - ?)) FROM measurements m{join} WHERE m.name = ? AND m.value IS NOT NULL{window}";

std::string WithRuns(const char *sql, const Invocation &invocation)
{
    std::string text = sql;
    if (size_t name = text.find("{name}"); name != std::string::npos)
        text.replace(name, 6, invocation.args.empty() ? "" : " AND m.name = ?");
    text.replace(text.find("{join}"), 6, RunsJoin(invocation, "m"));
    text.replace(text.find("{window}"), 8, WindowClause(invocation));
    return text;
}

// A limit every value had, or none.
std::optional<double> CommonLimit(const Row &row, std::size_t min, std::size_t max, std::size_t count, int64_t values)
{
    if (CellInt(row[count]) != values || CellDouble(row[min]) != CellDouble(row[max]))
        return std::nullopt;
    return CellDouble(row[min]);
}

Field Optional(const std::optional<double> &value, int decimals)
{
    return value ? NumberField(*value, decimals) : NullField();
}

} // namespace

bool StatsTable(Connection &db, const Invocation &invocation, Table &table)
{
    std::vector<Value> meanParams;
    if (!invocation.args.empty())
        meanParams.push_back(invocation.args[0]);
    for (const Value &value : WindowValues(invocation))
        meanParams.push_back(value);
    std::vector<Row> means;
    if (!Query(db, WithRuns(kMeans, invocation), meanParams, means))
        return false;
    const std::string spread = WithRuns(kSpread, invocation);
    std::vector<Row> rows;
    for (const Row &mean : means) {
        std::vector<Value> params = {CellDouble(mean[1]), CellDouble(mean[1]), CellText(mean[0])};
        for (const Value &value : WindowValues(invocation))
            params.push_back(value);
        std::vector<Row> found;
        if (!Query(db, spread, params, found))
            return false;
        if (found.empty())
            continue;
        // The name and mean, then the spread's columns: the layout below.
        Row row = {mean[0], found[0][0], mean[1]};
        row.insert(row.end(), found[0].begin() + 1, found[0].end());
        rows.push_back(std::move(row));
    }
    table = Table{{"measurement", "unit", "count", "mean", "std_dev", "min", "max", "low_limit", "high_limit", "cp",
                   "cpk", "outside"},
                  {},
                  0};
    for (const Row &row : rows) {
        int64_t count = CellInt(row[1]);
        double mean = CellDouble(row[2]);
        std::optional<double> sigma;
        if (count > 1)
            sigma = std::sqrt(std::max(0.0, CellDouble(row[13])) / double(count - 1));
        std::optional<double> low = CommonLimit(row, 5, 6, 7, count);
        std::optional<double> high = CommonLimit(row, 8, 9, 10, count);
        std::optional<double> cp, cpk;
        if (low && high && sigma && *sigma > 0) {
            cp = (*high - *low) / (6 * *sigma);
            cpk = std::min(*high - mean, mean - *low) / (3 * *sigma);
        }
        table.rows.push_back({TextField(CellText(row[0])), row[12] ? TextField(*row[12]) : NullField(),
                              IntegerField(count), NumberField(mean, 4), Optional(sigma, 4),
                              NumberField(CellDouble(row[3]), 4), NumberField(CellDouble(row[4]), 4), Optional(low, 4),
                              Optional(high, 4), Optional(cp, 3), Optional(cpk, 3), IntegerField(CellInt(row[11]))});
    }
    return true;
}

int CmdStats(const Invocation &invocation)
{
    return RunQuery(invocation, StatsTable);
}
