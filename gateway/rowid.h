// Row identifiers: the columns that name one row of a table, for record
// access by row identifier.
//
// Asked in order, first answer wins: SQLSpecialColumns(SQL_BEST_ROWID) (which
// some drivers never answer), the primary key (SQLPrimaryKeys), then the
// first unique index whose columns are all NOT NULL (SQLStatistics,
// SQLColumns). The key list names the columns separated by commas; the
// caller decides what a list of several columns means for it.
#pragma once

#include <string>

#include "gateway/svr_session.h"

namespace vnx {

// Sets *key_list to the identifying columns of `table`, followed by ","
// and the order columns (each reduced to its first word, as in "NAME ,CODE")
// when they differ from the key list and are not empty. 0, the failing ODBC
// code, or SQL_NO_DATA_FOUND (100) when the table has no row identifier (the
// reason recorded for MAPERROR). *key_list is untouched on failure.
int get_rowid(svr_session *s, std::string *key_list, const std::string &order_columns,
              const std::string &table);

// The order-columns rule alone: a blank is copied and starts skipping, a
// comma is copied and ends skipping, other characters are copied only when
// not skipping.
std::string order_columns_words(const std::string &order_columns);

}  // namespace vnx
