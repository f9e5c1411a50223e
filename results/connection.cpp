#include "results/connection.h"

#include <cstdlib>

namespace results_store {

bool IsPostgresUrl(const std::string &store)
{
    return store.rfind("postgresql://", 0) == 0 || store.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Connection> Connect(const std::string &store, std::string &error)
{
    if (store.empty()) {
        error = "no store given";
        return nullptr;
    }
    return IsPostgresUrl(store) ? ConnectPostgres(store, error) : ConnectSqlite(store, error);
}

std::unique_ptr<Connection> ConnectReadOnly(const std::string &store, int limitMs, std::string &error)
{
    if (store.empty()) {
        error = "no store given";
        return nullptr;
    }
    return IsPostgresUrl(store) ? ConnectPostgresReadOnly(store, limitMs, error)
                                : ConnectSqliteReadOnly(store, limitMs, error);
}

std::string StoreName(const std::string &store)
{
    if (!IsPostgresUrl(store))
        return store;
    std::size_t scheme = store.find("://") + 3;
    std::size_t at = store.find('@', scheme);
    std::size_t colon = store.find(':', scheme);
    if (at == std::string::npos || colon == std::string::npos || colon > at)
        return store;
    return store.substr(0, colon + 1) + "***" + store.substr(at);
}

double CellDouble(const Cell &cell)
{
    return cell ? std::strtod(cell->c_str(), nullptr) : 0.0;
}

int64_t CellInt(const Cell &cell)
{
    return cell ? std::strtoll(cell->c_str(), nullptr, 10) : 0;
}

std::string CellText(const Cell &cell)
{
    return cell ? *cell : std::string();
}

} // namespace results_store
