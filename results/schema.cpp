#include "results/schema.h"

namespace results_store {
namespace {

// Version 1. Times are RFC 3339 texts in UTC as the reports carry them,
// with the same instant in milliseconds since 1970 (*_ms) to order and
// filter by whatever the database's collation. Booleans are 0/1 integers.
// Child rows are keyed by the run and their order in the report (seq, the
// report's sequenceNumber), so no table needs an autoincrement.
const char kSchemaV1[] = R"(
CREATE TABLE schema_version (
    version INTEGER NOT NULL
);
CREATE TABLE runs (
    run_id TEXT PRIMARY KEY,
    dut_id TEXT NOT NULL,
    station TEXT,
    operator TEXT,
    fixture TEXT,
    hostname TEXT,
    metadata TEXT NOT NULL,
    program TEXT,
    program_version TEXT,
    command_line TEXT,
    start_time TEXT NOT NULL,
    start_ms BIGINT NOT NULL,
    end_time TEXT,
    end_ms BIGINT,
    result TEXT,
    status TEXT,
    complete INTEGER NOT NULL,
    recorded_at TEXT NOT NULL
);
CREATE INDEX runs_by_unit ON runs (dut_id, start_ms);
CREATE INDEX runs_by_start ON runs (start_ms);
CREATE TABLE steps (
    run_id TEXT NOT NULL REFERENCES runs (run_id),
    step_id TEXT NOT NULL,
    name TEXT NOT NULL,
    status TEXT,
    start_time TEXT,
    end_time TEXT,
    PRIMARY KEY (run_id, step_id)
);
CREATE TABLE measurements (
    run_id TEXT NOT NULL REFERENCES runs (run_id),
    seq BIGINT NOT NULL,
    step_id TEXT,
    name TEXT NOT NULL,
    value DOUBLE PRECISION,
    text_value TEXT,
    unit TEXT,
    validators TEXT,
    low_limit DOUBLE PRECISION,
    high_limit DOUBLE PRECISION,
    pass INTEGER,
    time TEXT,
    PRIMARY KEY (run_id, seq)
);
-- Covers what the statistics read, so that they scan the index alone, in
-- name order.
CREATE INDEX measurements_by_name ON measurements (name, value, low_limit, high_limit, unit);
-- The failures alone, for the Pareto: a few rows among millions.
CREATE INDEX measurements_failed ON measurements (name, run_id) WHERE pass = 0;
CREATE TABLE measurement_series (
    run_id TEXT NOT NULL REFERENCES runs (run_id),
    series_id TEXT NOT NULL,
    step_id TEXT,
    name TEXT NOT NULL,
    unit TEXT,
    validators TEXT,
    value_count BIGINT NOT NULL,
    value_list TEXT NOT NULL,
    pass INTEGER,
    time TEXT,
    PRIMARY KEY (run_id, series_id)
);
CREATE INDEX series_failed ON measurement_series (name, run_id) WHERE pass = 0;
CREATE TABLE diagnoses (
    run_id TEXT NOT NULL REFERENCES runs (run_id),
    seq BIGINT NOT NULL,
    step_id TEXT,
    verdict TEXT NOT NULL,
    type TEXT NOT NULL,
    message TEXT,
    time TEXT,
    PRIMARY KEY (run_id, seq)
);
CREATE INDEX diagnoses_by_type ON diagnoses (type, verdict);
CREATE TABLE logs (
    run_id TEXT NOT NULL REFERENCES runs (run_id),
    seq BIGINT NOT NULL,
    step_id TEXT,
    severity TEXT NOT NULL,
    symptom TEXT,
    message TEXT,
    time TEXT,
    PRIMARY KEY (run_id, seq)
);
INSERT INTO schema_version (version) VALUES (0);
)";

// kMigrations[i] takes a store from version i to version i + 1.
const char *const kMigrations[] = {kSchemaV1};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == kSchemaVersion);

std::string TooNew(int version)
{
    return "the store has schema version " + std::to_string(version) + ", newer than the " +
           std::to_string(kSchemaVersion) + " this program knows: left as it is";
}

} // namespace

bool StoreVersion(Connection &db, int &version, std::string &error)
{
    // runs first: both tables come in one transaction, so a store that
    // another process creates meanwhile has schema_version by the time
    // runs is seen.
    bool runs = false;
    bool exists = false;
    if (!db.HasTable("runs", runs, error) || !db.HasTable("schema_version", exists, error))
        return false;
    if (!exists) {
        if (runs) {
            error = "the database has a runs table but no schema_version: not a results store";
            return false;
        }
        version = 0;
        return true;
    }
    std::vector<Row> rows;
    if (!db.Run("SELECT MAX(version) FROM schema_version", {}, &rows, nullptr, error))
        return false;
    version = rows.empty() ? 0 : int(CellInt(rows[0][0]));
    return true;
}

bool Migrate(Connection &db, int target, std::string &error)
{
    for (;;) {
        // The version again inside the transaction: another process may
        // have moved it on since.
        if (!db.BeginWrite(error))
            return false;
        int version = 0;
        std::string ignored;
        if (!StoreVersion(db, version, error)) {
            db.Exec("ROLLBACK", ignored);
            return false;
        }
        if (version > kSchemaVersion) {
            db.Exec("ROLLBACK", ignored);
            error = TooNew(version);
            return false;
        }
        if (version >= target)
            return db.Exec("COMMIT", error);
        if (!db.Exec(kMigrations[version], error) ||
            !db.Run("UPDATE schema_version SET version = ?", {int64_t(version + 1)}, nullptr, nullptr, error) ||
            !db.Exec("COMMIT", error)) {
            error = "schema version " + std::to_string(version + 1) + ": " + error;
            db.Exec("ROLLBACK", ignored);
            return false;
        }
    }
}

std::unique_ptr<Connection> OpenStore(const std::string &store, std::string &error)
{
    std::unique_ptr<Connection> db = Connect(store, error);
    if (!db)
        return nullptr;
    int version = 0;
    if (!StoreVersion(*db, version, error)) {
        error = StoreName(store) + ": " + error;
        return nullptr;
    }
    if (version > kSchemaVersion) {
        error = StoreName(store) + ": " + TooNew(version);
        return nullptr;
    }
    if (!db->PrepareForWrites(error)) {
        error = StoreName(store) + ": " + error;
        return nullptr;
    }
    if (version < kSchemaVersion && !Migrate(*db, kSchemaVersion, error)) {
        error = StoreName(store) + ": " + error;
        return nullptr;
    }
    return db;
}

} // namespace results_store
