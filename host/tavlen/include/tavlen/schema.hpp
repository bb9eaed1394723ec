// The schema of the client's SQLite database: the CREATE statements that whatever writes a
// database (the sample generator, the importer, tests) executes before inserting rows.
#pragma once

#include <string>

namespace tavlen {

// Value of meta.schema_version in a database written with schema_sql().
inline constexpr int SCHEMA_VERSION = 1;

// The text of host/tavlen/schema.sql, embedded at build time; idempotent (IF NOT EXISTS).
const std::string& schema_sql();

}  // namespace tavlen
