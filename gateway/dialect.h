// Data-source dialects: what the gateway must vary by data source, chosen
// once per connection from SQLGetInfo(SQL_DBMS_NAME). A data source the
// gateway does not know gets the plain forms.
#pragma once

#include <string>
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

// True when `text`, pasted into a statement the gateway builds (a USE or
// ZAP filter, an order key, a table name), can neither end that statement
// nor hide the rest of it: no ";" and no comment ("--", "/*", and "#" on
// MariaDB) outside quoted text, and every quote closed. Quotes are read
// every way a data source might read them (doubled quotes, backslash
// escapes, PostgreSQL's dollar quotes), and the text is refused when any
// reading finds one; `why` then says what was found.
bool sql_fragment_safe(Dialect d, std::string_view text, std::string *why);

// Short name for traces and messages.
const char *dialect_name(Dialect d);

}  // namespace vnx
