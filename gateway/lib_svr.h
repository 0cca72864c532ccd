// The ODBC gateway's backend: the operation table that odbserver hands to the
// request loop. lib_svr.cpp only assembles the table; the operations live in
// the files of their concern (gateway/session.h and its siblings).
#pragma once

#include "runtime/backend.h"

namespace vnx {

// The gateway's operation table (slots it does not serve are null).
const BackendOps *odb_backend_ops();
// The gateway's operations beyond the table (EXECSQL with parameters), for
// set_backend_extensions.
const BackendExtensions *odb_backend_extensions();

}  // namespace vnx
