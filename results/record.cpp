#include "results/record.h"

#include "results/report_reader.h"
#include "results/schema.h"
#include "results/timestamps.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace results_store {
namespace {

// Rows a multi-row INSERT carries: few round trips to a server, few
// statements to prepare.
constexpr std::size_t kRowsPerInsert = 100;

Value Optional(const std::optional<double> &value)
{
    return value ? Value(*value) : Value();
}

Value Optional(const std::optional<bool> &value)
{
    return value ? Value(int64_t(*value ? 1 : 0)) : Value();
}

Value TextOrNull(const std::string &text)
{
    return text.empty() ? Value() : Value(text);
}

// Inserts rows (columns values each, flattened) in statements of up to
// kRowsPerInsert rows.
bool InsertRows(Connection &db, const std::string &head, std::size_t columns, const std::vector<Value> &values,
                std::string &error)
{
    std::string one = "(";
    for (std::size_t c = 0; c < columns; ++c)
        one += c == 0 ? "?" : ",?";
    one += ")";
    std::size_t rows = values.size() / columns;
    for (std::size_t first = 0; first < rows; first += kRowsPerInsert) {
        std::size_t count = std::min(kRowsPerInsert, rows - first);
        std::string sql = head + " VALUES ";
        for (std::size_t r = 0; r < count; ++r)
            sql += r == 0 ? one : "," + one;
        std::vector<Value> chunk(values.begin() + std::ptrdiff_t(first * columns),
                                 values.begin() + std::ptrdiff_t((first + count) * columns));
        if (!db.Run(sql, chunk, nullptr, nullptr, error))
            return false;
    }
    return true;
}

bool InsertChildren(Connection &db, const RunData &run, std::string &error)
{
    std::vector<Value> v;
    for (const StepData &s : run.steps)
        v.insert(v.end(),
                 {run.runId, s.id, s.name, TextOrNull(s.status), TextOrNull(s.startTime), TextOrNull(s.endTime)});
    if (!InsertRows(db, "INSERT INTO steps (run_id, step_id, name, status, start_time, end_time)", 6, v, error))
        return false;
    v.clear();
    for (const MeasurementData &m : run.measurements)
        v.insert(v.end(), {run.runId, m.seq, TextOrNull(m.step), m.name, Optional(m.value),
                           m.text ? Value(*m.text) : Value(), TextOrNull(m.unit), TextOrNull(m.validators),
                           Optional(m.low), Optional(m.high), Optional(m.pass), TextOrNull(m.time)});
    if (!InsertRows(db,
                    "INSERT INTO measurements (run_id, seq, step_id, name, value, text_value, unit, validators, "
                    "low_limit, high_limit, pass, time)",
                    12, v, error))
        return false;
    v.clear();
    for (const SeriesData &s : run.series) {
        std::string list = nlohmann::json(s.values).dump();
        v.insert(v.end(), {run.runId, s.id, TextOrNull(s.step), s.name, TextOrNull(s.unit), TextOrNull(s.validators),
                           int64_t(s.values.size()), list, Optional(s.pass), TextOrNull(s.time)});
    }
    if (!InsertRows(db,
                    "INSERT INTO measurement_series (run_id, series_id, step_id, name, unit, validators, "
                    "value_count, value_list, pass, time)",
                    10, v, error))
        return false;
    v.clear();
    for (const DiagnosisData &d : run.diagnoses)
        v.insert(v.end(), {run.runId, d.seq, TextOrNull(d.step), d.verdict, d.type, d.message, TextOrNull(d.time)});
    if (!InsertRows(db, "INSERT INTO diagnoses (run_id, seq, step_id, verdict, type, message, time)", 7, v, error))
        return false;
    v.clear();
    for (const LogData &l : run.logs)
        v.insert(v.end(), {run.runId, l.seq, TextOrNull(l.step), l.severity, TextOrNull(l.symptom), l.message,
                           TextOrNull(l.time)});
    return InsertRows(db, "INSERT INTO logs (run_id, seq, step_id, severity, symptom, message, time)", 7, v, error);
}

const char *const kChildTables[] = {"steps", "measurements", "measurement_series", "diagnoses", "logs"};

bool Write(Connection &db, const RunData &run, Recorded &outcome, std::string &error)
{
    std::vector<Row> rows;
    if (!db.Run("SELECT complete FROM runs WHERE run_id = ?", {run.runId}, &rows, nullptr, error))
        return false;
    outcome = Recorded::Stored;
    if (!rows.empty()) {
        if (CellInt(rows[0][0]) != 0 || !run.complete) {
            outcome = Recorded::AlreadyStored;
            return true;
        }
        // The complete report of a run stored while it was cut short.
        for (const char *table : kChildTables)
            if (!db.Run(std::string("DELETE FROM ") + table + " WHERE run_id = ?", {run.runId}, nullptr, nullptr,
                        error))
                return false;
        if (!db.Run("DELETE FROM runs WHERE run_id = ?", {run.runId}, nullptr, nullptr, error))
            return false;
        outcome = Recorded::Replaced;
    }
    int64_t inserted = 0;
    if (!db.Run("INSERT INTO runs (run_id, dut_id, station, operator, fixture, hostname, metadata, program, "
                "program_version, command_line, start_time, start_ms, end_time, end_ms, result, status, complete, "
                "recorded_at) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?) ON CONFLICT (run_id) DO NOTHING",
                {run.runId, run.dutId, TextOrNull(run.station), TextOrNull(run.operatorName), TextOrNull(run.fixture),
                 TextOrNull(run.hostname), run.metadata, TextOrNull(run.program), TextOrNull(run.programVersion),
                 TextOrNull(run.commandLine), run.startTime, run.startMs, TextOrNull(run.endTime),
                 run.endMs ? Value(*run.endMs) : Value(), TextOrNull(run.result), TextOrNull(run.status),
                 int64_t(run.complete ? 1 : 0), NowText()},
                nullptr, &inserted, error))
        return false;
    if (inserted == 0) {
        outcome = Recorded::AlreadyStored;
        return true;
    }
    return InsertChildren(db, run, error);
}

} // namespace

bool RecordRun(Connection &db, const RunData &run, Recorded &outcome, std::string &error)
{
    if (!db.BeginWrite(error))
        return false;
    std::string ignored;
    if (!Write(db, run, outcome, error)) {
        db.Exec("ROLLBACK", ignored);
        return false;
    }
    if (outcome == Recorded::AlreadyStored)
        return db.Exec("ROLLBACK", error);
    if (db.Exec("COMMIT", error))
        return true;
    db.Exec("ROLLBACK", ignored);
    return false;
}

bool RecordReport(const std::string &store, const std::vector<std::string> &lines, std::string &error)
{
    ReportReader reader;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        std::string reason;
        if (!reader.Line(line, reason)) {
            error = "report line " + std::to_string(i + 1) + ": " + reason;
            return false;
        }
    }
    reader.End();
    std::vector<RunData> runs = reader.TakeRuns();
    if (runs.empty()) {
        error = "the report holds no run";
        return false;
    }
    std::unique_ptr<Connection> db = OpenStore(store, error);
    if (!db)
        return false;
    for (const RunData &run : runs) {
        Recorded outcome = Recorded::Stored;
        if (!RecordRun(*db, run, outcome, error)) {
            error = StoreName(store) + ": " + error;
            return false;
        }
    }
    return true;
}

} // namespace results_store
