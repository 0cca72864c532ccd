// Data-source dialects: what the gateway must vary by data source, chosen
// once per connection from SQLGetInfo(SQL_DBMS_NAME). A data source the
// gateway does not know gets the plain forms.
#pragma once

#include <string_view>

namespace vnx {

enum class Dialect { Other, SQLite, PostgreSQL, MariaDB };

// The dialect of a SQL_DBMS_NAME answer ("SQLite", "PostgreSQL", "MariaDB",
// "MySQL"); anything else is Dialect::Other.
Dialect dialect_from_dbms_name(std::string_view dbms_name);

// Lock clause appended to a statement that reads a row for update:
// " FOR UPDATE NOWAIT" for PostgreSQL and MariaDB, nothing for SQLite (no row
// locks); for other data sources " FOR UPDATE OF " plus the columns when the
// driver accepts cursor names, else " FOR UPDATE NOWAIT".
std::string_view lock_clause(Dialect d, bool cursor_names);

// Short name for traces and messages.
const char *dialect_name(Dialect d);

}  // namespace vnx
