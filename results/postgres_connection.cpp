// The store on a PostgreSQL server, through libpq (loaded on first use).
// The callers' "?"
// placeholders become $1, $2...; writers serialise on one advisory lock
// per store, as SQLite's writers do on the file.
#include "results/connection.h"
#include "results/libpq_loader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace results_store {
namespace {

// The advisory lock's key: any number the store's own sessions agree on.
constexpr const char *kWriteLock = "SELECT pg_advisory_xact_lock(7305418214)";

// libpq once a connection has been made (ConnectPostgres loads it first).
const LibPq &Pq()
{
    std::string ignored;
    return *LoadLibPq(ignored);
}

struct ConnCloser {
    void operator()(PGconn *conn) const { Pq().finish(conn); }
};
struct ResultClearer {
    void operator()(PGresult *result) const { Pq().clear(result); }
};
using ConnHandle = std::unique_ptr<PGconn, ConnCloser>;
using ResultHandle = std::unique_ptr<PGresult, ResultClearer>;

void IgnoreNotice(void *, const char *) {}

// "?" outside quotes becomes $N.
std::string Numbered(const std::string &sql)
{
    std::string out;
    out.reserve(sql.size() + 16);
    int number = 0;
    char quote = 0;
    for (char c : sql) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '?') {
            out += '$' + std::to_string(++number);
            continue;
        }
        out += c;
    }
    return out;
}

std::string Trimmed(const char *message)
{
    std::string text = message != nullptr ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

class PostgresConnection : public Connection {
public:
    explicit PostgresConnection(ConnHandle conn) : conn_(std::move(conn)) {}
    const char *Kind() const override { return "postgresql"; }

    bool Exec(const std::string &sql, std::string &error) override
    {
        ResultHandle result(Pq().exec(conn_.get(), sql.c_str()));
        return Check(result.get(), error);
    }

    bool Run(const std::string &sql, const std::vector<Value> &params, std::vector<Row> *rows, int64_t *changed,
             std::string &error) override
    {
        std::vector<std::string> texts(params.size());
        std::vector<const char *> values(params.size(), nullptr);
        for (std::size_t i = 0; i < params.size(); ++i) {
            const Value &value = params[i];
            if (const auto *number = std::get_if<int64_t>(&value)) {
                texts[i] = std::to_string(*number);
            } else if (const auto *real = std::get_if<double>(&value)) {
                char text[32];
                std::snprintf(text, sizeof text, "%.17g", *real);
                texts[i] = text;
            } else if (const auto *text = std::get_if<std::string>(&value)) {
                texts[i] = *text;
            } else {
                continue;
            }
            values[i] = texts[i].c_str();
        }
        ResultHandle result(Pq().execParams(conn_.get(), Numbered(sql).c_str(), int(params.size()), nullptr,
                                            values.data(), nullptr, nullptr, 0));
        if (!Check(result.get(), error))
            return false;
        if (rows != nullptr && Pq().resultStatus(result.get()) == PGRES_TUPLES_OK) {
            int count = Pq().ntuples(result.get());
            int columns = Pq().nfields(result.get());
            for (int r = 0; r < count; ++r) {
                Row row;
                row.resize(std::size_t(columns));
                for (int c = 0; c < columns; ++c)
                    if (!Pq().getisnull(result.get(), r, c))
                        row[std::size_t(c)] = std::string(Pq().getvalue(result.get(), r, c),
                                                          std::size_t(Pq().getlength(result.get(), r, c)));
                rows->push_back(std::move(row));
            }
        }
        if (changed != nullptr)
            *changed = std::strtoll(Pq().cmdTuples(result.get()), nullptr, 10);
        return true;
    }

    bool BeginWrite(std::string &error) override
    {
        if (!Exec("BEGIN", error))
            return false;
        if (Exec(kWriteLock, error))
            return true;
        std::string ignored;
        Exec("ROLLBACK", ignored);
        return false;
    }

    bool PrepareForWrites(std::string &) override { return true; }

    bool HasTable(const std::string &name, bool &exists, std::string &error) override
    {
        // The catalog read as a table, in this statement's snapshot: a
        // lookup by name (to_regclass) may use a catalog snapshot older
        // than the write lock just taken, and miss a table another session
        // created meanwhile.
        std::vector<Row> rows;
        if (!Run("SELECT 1 FROM pg_catalog.pg_tables WHERE schemaname = current_schema() AND tablename = ?", {name},
                 &rows, nullptr, error))
            return false;
        exists = !rows.empty();
        return true;
    }

private:
    bool Check(PGresult *result, std::string &error)
    {
        ExecStatusType status = result != nullptr ? Pq().resultStatus(result) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            return true;
        error = Trimmed(result != nullptr ? Pq().resultErrorMessage(result) : Pq().errorMessage(conn_.get()));
        return false;
    }

    ConnHandle conn_;
};

} // namespace

std::unique_ptr<Connection> ConnectPostgres(const std::string &url, std::string &error)
{
    if (LoadLibPq(error) == nullptr)
        return nullptr;
    ConnHandle conn(Pq().connectdb(url.c_str()));
    if (conn == nullptr || Pq().status(conn.get()) != CONNECTION_OK) {
        error = "cannot connect to the PostgreSQL store: " +
                Trimmed(conn != nullptr ? Pq().errorMessage(conn.get()) : "out of memory");
        return nullptr;
    }
    Pq().setNoticeProcessor(conn.get(), IgnoreNotice, nullptr);
    return std::make_unique<PostgresConnection>(std::move(conn));
}

std::unique_ptr<Connection> ConnectPostgresReadOnly(const std::string &url, int limitMs, std::string &error)
{
    // libpq takes whole seconds, at least 2.
    int seconds = std::max(2, (limitMs + 999) / 1000);
    std::string limited =
        url + (url.find('?') == std::string::npos ? "?" : "&") + "connect_timeout=" + std::to_string(seconds);
    std::unique_ptr<Connection> db = ConnectPostgres(limited, error);
    if (db && !db->Exec("SET default_transaction_read_only = on; SET statement_timeout = " + std::to_string(limitMs) +
                            "; SET lock_timeout = " + std::to_string(limitMs),
                        error))
        return nullptr;
    return db;
}

} // namespace results_store
