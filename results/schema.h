// The store's schema, its versions and the steps between them. A store
// records its version in schema_version (one row); opening a store brings
// an older one up to kSchemaVersion, one step at a time, each step in the
// transaction that bumps the version, and refuses one newer than this
// program knows without writing anything to it.
#ifndef RESULTS_SCHEMA_H
#define RESULTS_SCHEMA_H

#include "results/connection.h"

#include <memory>
#include <string>

namespace results_store {

// The version this program reads and writes.
constexpr int kSchemaVersion = 1;

// The version a store holds (0: no schema yet); false on a database error.
bool StoreVersion(Connection &db, int &version, std::string &error);

// Brings the store from its version up to target (at most kSchemaVersion).
bool Migrate(Connection &db, int target, std::string &error);

// Opens a store ready to read and write: connected, refused when newer than
// kSchemaVersion, migrated otherwise. Null with the reason.
std::unique_ptr<Connection> OpenStore(const std::string &store, std::string &error);

} // namespace results_store

#endif
