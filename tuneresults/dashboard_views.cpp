// The dashboard's views as JSON. Each takes its parameters from the query
// string, refuses what it cannot use (400) and a name the store does not
// know (404), and answers with the same tables the query commands print,
// plus what a plot needs.
#include "tuneresults/commands.h"
#include "tuneresults/dashboard.h"

#include "results/timestamps.h"

#include <algorithm>
#include <cmath>

using namespace results_store;
using nlohmann::ordered_json;

namespace {

constexpr int64_t kDayMs = 86400000;
constexpr std::size_t kMaxParamBytes = 256;
constexpr int kHistogramBins = 20;
// The trend shows the values of the latest runs; the histogram counts them
// all.
constexpr int64_t kTrendRuns = 500;
constexpr int64_t kRecentRuns = 20;
constexpr int64_t kLastFailures = 10;

bool ValidUtf8(const std::string &text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 4;
        if (extra == 4 || i + extra >= text.size() + (extra == 0 ? 1 : 0))
            return false;
        for (std::size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += extra + 1;
    }
    return true;
}

// Checks the query string: only the keys allowed, each at most once, each
// value non-empty, printable UTF-8 of a sane length.
bool CheckParams(const ViewParams &params, std::initializer_list<const char *> allowed, ViewAnswer &answer)
{
    for (const auto &[key, value] : params) {
        if (std::find_if(allowed.begin(), allowed.end(), [&](const char *name) { return key == name; }) ==
            allowed.end()) {
            answer = ErrorAnswer(400, "unknown parameter " + key);
            return false;
        }
        if (params.count(key) != 1) {
            answer = ErrorAnswer(400, "parameter " + key + " given more than once");
            return false;
        }
        bool control =
            std::any_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
        if (value.empty() || value.size() > kMaxParamBytes || control || !ValidUtf8(value)) {
            answer = ErrorAnswer(400, "parameter " + key + ": expected 1 to 256 printable characters");
            return false;
        }
    }
    return true;
}

std::string Param(const ViewParams &params, const char *key)
{
    auto found = params.find(key);
    return found == params.end() ? std::string() : found->second;
}

// The since/until parameters into the invocation's window.
bool Window(const ViewParams &params, Invocation &invocation, ViewAnswer &answer)
{
    for (const char *key : {"since", "until"}) {
        std::string text = Param(params, key);
        if (text.empty())
            continue;
        int64_t ms = 0;
        if (!TimestampMs(text, ms)) {
            answer = ErrorAnswer(400, std::string(key) + ": expected a date (2026-12-08) or an RFC 3339 time");
            return false;
        }
        if (key[0] == 's') {
            invocation.sinceMs = ms;
        } else {
            invocation.untilMs = text.size() == 10 ? ms + kDayMs : ms;
        }
    }
    if (invocation.sinceMs >= invocation.untilMs) {
        answer = ErrorAnswer(400, "since must come before until");
        return false;
    }
    return true;
}

ViewAnswer StoreError()
{
    return ErrorAnswer(503, "the store could not be read (the server's log has the reason)");
}

ordered_json CellJson(const Cell &cell)
{
    return cell ? ordered_json(*cell) : ordered_json(nullptr);
}

ordered_json NumberJson(const Cell &cell)
{
    return cell ? ordered_json(CellDouble(cell)) : ordered_json(nullptr);
}

// Rows of a query as objects with the names given.
bool QueryObjects(Connection &db, const std::string &sql, const std::vector<Value> &values,
                  std::initializer_list<const char *> names, ordered_json &out)
{
    std::vector<Row> rows;
    if (!Query(db, sql, values, rows))
        return false;
    out = ordered_json::array();
    for (const Row &row : rows) {
        ordered_json object = ordered_json::object();
        std::size_t c = 0;
        for (const char *name : names) {
            // Columns named with a leading '#' are numbers.
            object[name[0] == '#' ? name + 1 : name] = name[0] == '#' ? NumberJson(row[c]) : CellJson(row[c]);
            ++c;
        }
        out.push_back(std::move(object));
    }
    return true;
}

} // namespace

ViewAnswer ErrorAnswer(int status, const std::string &message)
{
    ViewAnswer answer;
    answer.status = status;
    answer.body = {{"error", message}};
    return answer;
}

ViewAnswer LineView(Connection &db, const ViewParams &params, int64_t nowMs)
{
    ViewAnswer answer;
    if (!CheckParams(params, {}, answer))
        return answer;
    int64_t today = nowMs / kDayMs * kDayMs;
    answer.body["generated_at"] = NowText();
    for (const auto &[key, since] : {std::pair{"today", today}, std::pair{"week", today - 6 * kDayMs}}) {
        Invocation invocation;
        invocation.by = "station";
        invocation.sinceMs = since;
        Table table;
        if (!YieldTable(db, invocation, table))
            return StoreError();
        answer.body[std::string("yield_") + key] = {{"since", DayOf(since)}, {"rows", TableJson(table)}};
    }
    ordered_json runs;
    if (!QueryObjects(
            db,
            "SELECT run_id, dut_id, station, fixture, operator, start_time, end_time, result, status FROM "
            "runs ORDER BY start_ms DESC, run_id DESC LIMIT ?",
            {kRecentRuns},
            {"run_id", "dut_id", "station", "fixture", "operator", "start_time", "end_time", "result", "status"}, runs))
        return StoreError();
    answer.body["runs"] = std::move(runs);
    Invocation invocation;
    invocation.count = kLastFailures;
    Table failures;
    if (!FailuresTable(db, invocation, failures))
        return StoreError();
    answer.body["failures"] = TableJson(failures);
    return answer;
}

ViewAnswer ParetoView(Connection &db, const ViewParams &params, int64_t)
{
    ViewAnswer answer;
    Invocation invocation;
    if (!CheckParams(params, {"since", "until"}, answer) || !Window(params, invocation, answer))
        return answer;
    Table table;
    if (!ParetoTable(db, invocation, table))
        return StoreError();
    answer.body["rows"] = TableJson(table);
    return answer;
}

ViewAnswer MeasurementView(Connection &db, const ViewParams &params, int64_t)
{
    ViewAnswer answer;
    Invocation invocation;
    if (!CheckParams(params, {"name", "since", "until"}, answer) || !Window(params, invocation, answer))
        return answer;
    std::string name = Param(params, "name");
    if (name.empty())
        return ErrorAnswer(400, "name: the measurement to show is missing");
    invocation.args = {name};
    Table stats;
    if (!StatsTable(db, invocation, stats))
        return StoreError();
    if (stats.rows.empty())
        return ErrorAnswer(404, "no numeric measurement named " + name);
    answer.body["name"] = name;
    answer.body["stats"] = TableJson(stats)[0];
    std::vector<Value> values{name};
    for (const Value &value : WindowValues(invocation))
        values.push_back(value);
    // Every value for the histogram: without a window, from the index on
    // names alone.
    std::vector<Row> rows;
    if (!Query(db,
               "SELECT m.value FROM measurements m" + RunsJoin(invocation, "m") +
                   " WHERE m.name = ? AND m.value IS NOT NULL" + WindowClause(invocation),
               values, rows))
        return StoreError();
    // The trend: the values of the latest runs, found run by run (the name
    // kept off the index: the index would visit every value of the name).
    std::vector<Row> latest;
    std::vector<Value> trendValues = values;
    std::rotate(trendValues.begin(), trendValues.begin() + 1, trendValues.end()); // the window, then the name
    if (!Query(db,
               "SELECT m.value, r.start_time, r.dut_id, r.run_id FROM (SELECT r.run_id, r.start_time, r.dut_id, "
               "r.start_ms FROM runs r WHERE 1 = 1" +
                   WindowClause(invocation) + " ORDER BY r.start_ms DESC, r.run_id DESC LIMIT " +
                   std::to_string(kTrendRuns) +
                   ") r JOIN measurements m ON m.run_id = r.run_id "
                   "WHERE m.name || '' = ? AND m.value IS NOT NULL ORDER BY r.start_ms, r.run_id, m.seq",
               trendValues, latest))
        return StoreError();
    // The histogram spans the values and the limits both, so that the limits
    // fall on its axis.
    const ordered_json &row = answer.body["stats"];
    double low = row["min"].get<double>(), high = row["max"].get<double>();
    if (row["low_limit"].is_number())
        low = std::min(low, row["low_limit"].get<double>());
    if (row["high_limit"].is_number())
        high = std::max(high, row["high_limit"].get<double>());
    int bins = high > low ? kHistogramBins : 1;
    double width = high > low ? (high - low) / bins : 1.0;
    std::vector<int64_t> counts(std::size_t(bins), 0);
    for (const Row &value : rows) {
        int bin = int(std::floor((CellDouble(value[0]) - low) / width));
        counts[std::size_t(std::clamp(bin, 0, bins - 1))]++;
    }
    ordered_json histogram = ordered_json::array();
    for (int b = 0; b < bins; ++b)
        histogram.push_back({{"low", low + b * width},
                             {"high", high > low ? low + (b + 1) * width : high},
                             {"count", counts[std::size_t(b)]}});
    answer.body["histogram"] = std::move(histogram);
    ordered_json trend = ordered_json::array();
    for (const Row &point : latest)
        trend.push_back({{"start_time", CellJson(point[1])},
                         {"dut_id", CellJson(point[2])},
                         {"run_id", CellJson(point[3])},
                         {"value", NumberJson(point[0])}});
    answer.body["trend"] = std::move(trend);
    return answer;
}

ViewAnswer UnitView(Connection &db, const ViewParams &params, int64_t)
{
    ViewAnswer answer;
    if (!CheckParams(params, {"id"}, answer))
        return answer;
    std::string id = Param(params, "id");
    if (id.empty())
        return ErrorAnswer(400, "id: the unit to show is missing");
    Invocation invocation;
    invocation.args = {id};
    Table history;
    if (!HistoryTable(db, invocation, history))
        return StoreError();
    if (history.rows.empty())
        return ErrorAnswer(404, "no runs of unit " + id);
    answer.body["id"] = id;
    answer.body["runs"] = TableJson(history);
    for (ordered_json &run : answer.body["runs"]) {
        std::vector<Value> key{run["run_id"].get<std::string>()};
        ordered_json steps, measurements, diagnoses, logs;
        if (!QueryObjects(db,
                          "SELECT step_id, name, status, start_time, end_time FROM steps WHERE run_id = ? "
                          "ORDER BY start_time, step_id",
                          key, {"step_id", "name", "status", "start_time", "end_time"}, steps) ||
            !QueryObjects(db,
                          "SELECT step_id, name, value, text_value, unit, low_limit, high_limit, pass FROM "
                          "measurements WHERE run_id = ? ORDER BY seq",
                          key,
                          {"step_id", "name", "#value", "text_value", "unit", "#low_limit", "#high_limit", "#pass"},
                          measurements) ||
            !QueryObjects(db, "SELECT step_id, verdict, type, message FROM diagnoses WHERE run_id = ? ORDER BY seq",
                          key, {"step_id", "verdict", "type", "message"}, diagnoses) ||
            !QueryObjects(db, "SELECT step_id, severity, symptom, message FROM logs WHERE run_id = ? ORDER BY seq", key,
                          {"step_id", "severity", "symptom", "message"}, logs))
            return StoreError();
        run["steps"] = std::move(steps);
        run["measurements"] = std::move(measurements);
        run["diagnoses"] = std::move(diagnoses);
        run["logs"] = std::move(logs);
    }
    // The series of the last run, each a list of numbers (non-numbers null).
    std::vector<Row> rows;
    if (!Query(db,
               "SELECT name, unit, value_list, pass FROM measurement_series WHERE run_id = ? ORDER BY time, series_id",
               {answer.body["runs"].back()["run_id"].get<std::string>()}, rows))
        return StoreError();
    ordered_json series = ordered_json::array();
    for (const Row &row : rows) {
        ordered_json values = ordered_json::array();
        nlohmann::json list = nlohmann::json::parse(CellText(row[2]), nullptr, false);
        if (list.is_array())
            for (const auto &value : list)
                values.push_back(value.is_number() ? ordered_json(value.get<double>()) : ordered_json(nullptr));
        series.push_back({{"name", CellJson(row[0])},
                          {"unit", CellJson(row[1])},
                          {"pass", NumberJson(row[3])},
                          {"values", std::move(values)}});
    }
    answer.body["series"] = std::move(series);
    return answer;
}

std::string JsonText(const ordered_json &json)
{
    std::string text = json.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
    // <, > and & only occur inside strings here: as escapes, no text of the
    // store can close the script element that carries the JSON.
    std::string safe;
    safe.reserve(text.size());
    for (char c : text) {
        if (c == '<')
            safe += "\\u003c";
        else if (c == '>')
            safe += "\\u003e";
        else if (c == '&')
            safe += "\\u0026";
        else
            safe += c;
    }
    return safe;
}
