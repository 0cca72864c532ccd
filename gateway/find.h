// Record-level table access, keyed find: FIND on a table opened with USE
// (table_open.h).
//
// The key expression names one column ("NAME", "NAME DESC") or up to five
// ("LAST,FIRST"). The search value is cut into consecutive pieces of the key
// columns' widths; a part without characters left gets no condition. The
// character part the value ends in matches by prefix (LIKE, trailing blanks
// removed, "%" appended) unless EXACT is given; every other part must be
// equal (trailing blanks of character data and leading blanks of numbers
// do not count). The statement asks for the first matching row in key
// order and returns its row identifier in the text form of the key query,
// so the scroll cursor finds its record. One statement is kept per table,
// key expression and match kind, prepared once and reused. No match fails
// (-1) with the reason recorded.
#pragma once

#include <cstdint>

namespace vnx {

int db_server_find(int32_t handle, char *packet, int32_t *result, int exact, int type_letter,
                   const char *table, int client, const char *alias, char *rowid, const char *key,
                   const char *value, int lock);

}  // namespace vnx
