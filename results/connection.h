// One connection to a results store, whichever database holds it. The SQL
// the callers write is one dialect: "?" placeholders, ON CONFLICT DO
// NOTHING, no autoincrement; a backend rewrites what its database spells
// differently. Results come back as text (null as nullopt), so that both
// backends answer alike.
#ifndef RESULTS_CONNECTION_H
#define RESULTS_CONNECTION_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace results_store {

using Value = std::variant<std::monostate, int64_t, double, std::string>;
using Cell = std::optional<std::string>;
using Row = std::vector<Cell>;

class Connection {
public:
    virtual ~Connection() = default;
    // "sqlite" or "postgresql".
    virtual const char *Kind() const = 0;
    // One or more statements without parameters.
    virtual bool Exec(const std::string &sql, std::string &error) = 0;
    // One statement; rows (may be null) gets what it returns, changed (may
    // be null) how many rows it inserted, updated or deleted.
    virtual bool Run(const std::string &sql, const std::vector<Value> &params, std::vector<Row> *rows, int64_t *changed,
                     std::string &error) = 0;
    // Starts a transaction that holds the store's write lock until it ends,
    // so that concurrent writers take turns (and a second schema creator
    // waits for the first).
    virtual bool BeginWrite(std::string &error) = 0;
    // Settings for a store that is going to be written, once its version is
    // known to be this program's or older (they may change the file).
    virtual bool PrepareForWrites(std::string &error) = 0;
    // Whether the table exists in the store (before any schema is read).
    virtual bool HasTable(const std::string &name, bool &exists, std::string &error) = 0;
};

// True for the texts that name a PostgreSQL server (postgresql://,
// postgres://); anything else is an SQLite file.
bool IsPostgresUrl(const std::string &store);

// The store as messages show it: a URL's password hidden.
std::string StoreName(const std::string &store);

// Opens the store's database as it is (creates an SQLite file that does not
// exist); null with the reason.
std::unique_ptr<Connection> Connect(const std::string &store, std::string &error);
std::unique_ptr<Connection> ConnectSqlite(const std::string &path, std::string &error);
std::unique_ptr<Connection> ConnectPostgres(const std::string &url, std::string &error);

// Opens the store for reading alone (an SQLite file is not created, and a
// PostgreSQL session is read-only); a connection, a lock wait or a statement
// that takes longer than limitMs fails rather than waits on.
std::unique_ptr<Connection> ConnectReadOnly(const std::string &store, int limitMs, std::string &error);
std::unique_ptr<Connection> ConnectSqliteReadOnly(const std::string &path, int limitMs, std::string &error);
std::unique_ptr<Connection> ConnectPostgresReadOnly(const std::string &url, int limitMs, std::string &error);

// Text helpers for the answers.
double CellDouble(const Cell &cell);
int64_t CellInt(const Cell &cell);
std::string CellText(const Cell &cell);

} // namespace results_store

#endif
