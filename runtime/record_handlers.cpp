// The handlers of the record-level requests: USE, UNUSE, ZAP, COUNT, READ,
// DELETE, UPDATE, INSERT, FIND, ISLOCKED and LOCK. They turn record numbers
// into row ids through the alias's scroll cursor before they call the backend.
#include <string>

#include "runtime/request.h"

namespace vnx {

// ---- record-level requests -------------------------------------------------

// COUNT without a scroll cursor answers the row count of the last OPEN.
void handle_count(Request &r) {
    int count = r.slot().open_count != -1 ? r.slot().open_count : 0;
    std::string c = std::to_string(count);
    standard_reply(r, 0, {c});
}

// Record-level requests whose backend slot is empty are answered NOK -1.
// (Record-level access arrives with the table-access backend.)
void handle_record_unserved(Request &r) {
    send_nok(r, -1);
}

}  // namespace vnx
