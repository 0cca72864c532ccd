// The ODBC gateway's operation table. See lib_svr.h.
#include "gateway/lib_svr.h"

#include "gateway/session.h"

namespace vnx {

namespace {

BackendOps make_ops() {
    BackendOps ops{};
    ops.start = db_server_start;
    ops.stop = db_server_stop;
    return ops;
}

}  // namespace

const BackendOps *odb_backend_ops() {
    static const BackendOps ops = make_ops();
    return &ops;
}

}  // namespace vnx
