// Data-source dialects. See dialect.h.
#include "gateway/dialect.h"

namespace vnx {

namespace {

struct DialectName {
    std::string_view dbms;
    Dialect dialect;
};

constexpr DialectName kDialects[] = {
    {"SQLite", Dialect::SQLite},
    {"PostgreSQL", Dialect::PostgreSQL},
    {"MariaDB", Dialect::MariaDB},
    {"MySQL", Dialect::MariaDB},
};

}  // namespace

Dialect dialect_from_dbms_name(std::string_view dbms_name) {
    for (const DialectName &d : kDialects)
        if (dbms_name == d.dbms) return d.dialect;
    return Dialect::Other;
}

std::string_view lock_clause(Dialect d, bool cursor_names) {
    switch (d) {
        case Dialect::SQLite:
            return "";
        case Dialect::PostgreSQL:
        case Dialect::MariaDB:
            return " FOR UPDATE NOWAIT";
        case Dialect::Other:
            break;
    }
    return cursor_names ? " FOR UPDATE OF " : " FOR UPDATE NOWAIT";
}

const char *dialect_name(Dialect d) {
    switch (d) {
        case Dialect::SQLite:
            return "SQLite";
        case Dialect::PostgreSQL:
            return "PostgreSQL";
        case Dialect::MariaDB:
            return "MariaDB";
        case Dialect::Other:
            break;
    }
    return "other";
}

}  // namespace vnx
