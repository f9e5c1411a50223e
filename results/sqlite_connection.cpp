// The store in an SQLite file. Writers take the database's write lock when
// their transaction begins (BEGIN IMMEDIATE) and wait for it rather than
// fail, so several processes may record at once.
#include "results/connection.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <unordered_map>

namespace results_store {
namespace {

// How long a writer waits for another process's transaction.
constexpr int kBusyTimeoutMs = 60000;
constexpr int kRetryMs = 20;

struct DbCloser {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

class SqliteConnection : public Connection {
public:
    explicit SqliteConnection(DbHandle db) : db_(std::move(db)) {}
    const char *Kind() const override { return "sqlite"; }

    bool Exec(const std::string &sql, std::string &error) override
    {
        char *message = nullptr;
        if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK)
            return true;
        error = message != nullptr ? message : sqlite3_errmsg(db_.get());
        sqlite3_free(message);
        return false;
    }

    bool Run(const std::string &sql, const std::vector<Value> &params, std::vector<Row> *rows, int64_t *changed,
             std::string &error) override
    {
        // Statements are kept for the next call with the same text: an
        // import runs the same few inserts for every run.
        auto cached = cache_.find(sql);
        if (cached == cache_.end()) {
            sqlite3_stmt *prepared = nullptr;
            if (sqlite3_prepare_v2(db_.get(), sql.c_str(), int(sql.size()), &prepared, nullptr) != SQLITE_OK)
                return Fail(error);
            cached = cache_.emplace(sql, Statement(prepared)).first;
        }
        sqlite3_stmt *raw = cached->second.get();
        Reset reset{raw};
        for (std::size_t i = 0; i < params.size(); ++i) {
            int index = int(i) + 1;
            const Value &value = params[i];
            int rc = SQLITE_OK;
            if (const auto *number = std::get_if<int64_t>(&value))
                rc = sqlite3_bind_int64(raw, index, *number);
            else if (const auto *real = std::get_if<double>(&value))
                rc = sqlite3_bind_double(raw, index, *real);
            else if (const auto *text = std::get_if<std::string>(&value))
                rc = sqlite3_bind_text(raw, index, text->data(), int(text->size()), SQLITE_TRANSIENT);
            else
                rc = sqlite3_bind_null(raw, index);
            if (rc != SQLITE_OK)
                return Fail(error);
        }
        int rc;
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
            if (rows == nullptr)
                continue;
            int columns = sqlite3_column_count(raw);
            Row row;
            row.resize(std::size_t(columns));
            for (int c = 0; c < columns; ++c) {
                int type = sqlite3_column_type(raw, c);
                if (type == SQLITE_NULL)
                    continue;
                if (type == SQLITE_FLOAT) {
                    // Every digit a double needs, so that text round-trips.
                    char text[32];
                    std::snprintf(text, sizeof text, "%.17g", sqlite3_column_double(raw, c));
                    row[std::size_t(c)] = text;
                } else {
                    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(raw, c));
                    row[std::size_t(c)] = std::string(text, std::size_t(sqlite3_column_bytes(raw, c)));
                }
            }
            rows->push_back(std::move(row));
        }
        if (rc != SQLITE_DONE)
            return Fail(error);
        if (changed != nullptr)
            *changed = sqlite3_changes64(db_.get());
        return true;
    }

    bool BeginWrite(std::string &error) override { return Exec("BEGIN IMMEDIATE", error); }

    // Write-ahead logging: readers beside a writer, one sync a transaction.
    // Switching needs the file to itself; two processes switching while a
    // third creates the schema may deadlock, which SQLite reports at once
    // (no busy wait), so the switch is retried.
    bool PrepareForWrites(std::string &error) override
    {
        for (int waited = 0;; waited += kRetryMs) {
            char *message = nullptr;
            int rc = sqlite3_exec(db_.get(), "PRAGMA journal_mode = WAL", nullptr, nullptr, &message);
            sqlite3_free(message);
            if (rc == SQLITE_OK)
                return Exec("PRAGMA synchronous = NORMAL", error);
            if ((rc & 0xFF) != SQLITE_BUSY || waited >= kBusyTimeoutMs)
                return Fail(error);
            sqlite3_sleep(kRetryMs);
        }
    }

    bool HasTable(const std::string &name, bool &exists, std::string &error) override
    {
        std::vector<Row> rows;
        if (!Run("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", {name}, &rows, nullptr, error))
            return false;
        exists = !rows.empty();
        return true;
    }

private:
    bool Fail(std::string &error)
    {
        error = sqlite3_errmsg(db_.get());
        return false;
    }

    // Leaves a statement ready for its next use, however the call ends.
    struct Reset {
        sqlite3_stmt *statement;
        ~Reset()
        {
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
        }
    };

    // Declared first, so that the statements are finalized before the
    // database closes.
    DbHandle db_;
    std::unordered_map<std::string, Statement> cache_;
};

} // namespace

namespace {

// The file opened with flags, waiting up to busyMs for another writer;
// null, with the reason in error, when it cannot be opened.
DbHandle OpenDb(const std::string &path, int flags, int busyMs, std::string &error)
{
    sqlite3 *raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    DbHandle db(raw);
    if (rc != SQLITE_OK) {
        error = path + ": " + (raw != nullptr ? sqlite3_errmsg(raw) : "cannot open");
        return nullptr;
    }
    sqlite3_busy_timeout(raw, busyMs);
    // Queries read the file mapped and cached rather than a page a system
    // call: several times faster on a store of some thousand runs.
    sqlite3_exec(raw, "PRAGMA mmap_size = 1073741824; PRAGMA cache_size = -65536", nullptr, nullptr, nullptr);
    sqlite3_extended_result_codes(raw, 1);
    return db;
}

} // namespace

std::unique_ptr<Connection> ConnectSqlite(const std::string &path, std::string &error)
{
    DbHandle db = OpenDb(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, kBusyTimeoutMs, error);
    if (!db)
        return nullptr;
    return std::make_unique<SqliteConnection>(std::move(db));
}

namespace {

// Interrupts a statement once the connection's deadline has passed.
int PastDeadline(void *deadline)
{
    return std::chrono::steady_clock::now() > *static_cast<std::chrono::steady_clock::time_point *>(deadline) ? 1 : 0;
}

// A read-only connection that owns the deadline its progress handler reads.
class LimitedSqliteConnection : public SqliteConnection {
public:
    LimitedSqliteConnection(DbHandle db, std::chrono::steady_clock::time_point deadline)
        : SqliteConnection(std::move(db)), deadline_(std::make_unique<std::chrono::steady_clock::time_point>(deadline))
    {
    }
    std::chrono::steady_clock::time_point *Deadline() { return deadline_.get(); }

private:
    std::unique_ptr<std::chrono::steady_clock::time_point> deadline_;
};

} // namespace

std::unique_ptr<Connection> ConnectSqliteReadOnly(const std::string &path, int limitMs, std::string &error)
{
    DbHandle db = OpenDb(path, SQLITE_OPEN_READONLY, limitMs, error);
    if (!db)
        return nullptr;
    sqlite3 *raw = db.get();
    auto connection = std::make_unique<LimitedSqliteConnection>(std::move(db), std::chrono::steady_clock::now() +
                                                                                   std::chrono::milliseconds(limitMs));
    sqlite3_progress_handler(raw, 1000, PastDeadline, connection->Deadline());
    return connection;
}

} // namespace results_store
