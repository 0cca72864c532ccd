// Typed parameter values: how a value flagged with a type letter after
// "PARAMS:" (runtime/backend.h, kTypedParamFlags) is bound to its marker.
//
// Each flag checks its text before anything reaches the data source and
// chooses the C and SQL types of the binding: b bytes (hexadecimal digits,
// bound as the raw bytes, SQL_LONGVARBINARY), i integer (SQL_C_SBIGINT,
// SQL_BIGINT), f float (SQL_C_DOUBLE, SQL_DOUBLE; "inf", "-inf", "nan"
// taken), n exact decimal (its digits as text, SQL_NUMERIC of their
// precision and scale), l bool ("t" or "f", SQL_BIT), d date, t time,
// s timestamp (as text, SQL_TYPE_DATE, SQL_TYPE_TIME, SQL_TYPE_TIMESTAMP)
// and z timestamp with zone (as text, SQL_VARCHAR, so that the data source
// reads the zone itself). Pure: no ODBC call is made here.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <string_view>

namespace vnx {

struct TypedBinding {
    std::string value;  // the bytes bound: text, raw bytes or a number's image
    SQLSMALLINT c_type = SQL_C_CHAR;
    SQLSMALLINT sql_type = SQL_VARCHAR;
    SQLULEN precision = 0;
    SQLSMALLINT scale = 0;
};

// The binding of a value flagged `flag`. 0, or -1 with *why when the text is
// not of the flag's type or the flag is unknown.
int typed_binding(char flag, std::string_view text, TypedBinding *out, std::string *why);

// True for the SQL character types (whose precision is a length).
bool is_character_type(SQLSMALLINT sql_type);

}  // namespace vnx
