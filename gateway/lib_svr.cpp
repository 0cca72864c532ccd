// The ODBC gateway's operation table. See lib_svr.h.
#include "gateway/lib_svr.h"

#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/rows.h"
#include "gateway/session.h"

namespace vnx {

namespace {

BackendOps make_ops() {
    BackendOps ops{};
    ops.start = db_server_start;                // 0
    ops.stop = db_server_stop;                  // 1
    ops.connect = db_server_connect;            // 2
    ops.disconnect = db_server_disconnect;      // 3
    ops.declare = db_server_declare;            // 4
    ops.undeclare = db_server_undeclare;        // 5
    ops.open = db_server_open;                  // 6
    ops.close = db_server_close;                // 7
    ops.execsql = db_server_execsql;            // 8
    ops.maperror = db_server_maperror;          // 15
    ops.fetch = db_server_fetch;                // 16
    ops.fetchmany = db_server_fetchmany;        // 17
    ops.commit = db_server_commit;              // 18
    ops.rollback = db_server_rollback;          // 19
    ops.attach = db_server_attach;              // 20
    ops.detach = db_server_detach;              // 21
    ops.execute = db_server_execute;            // 22
    ops.fieldlist = db_server_fieldlist;        // 26
    ops.tablelist = db_server_tablelist;        // 27
    ops.extend_fetch = db_server_extend_fetch;  // 47
    return ops;
}

}  // namespace

const BackendOps *odb_backend_ops() {
    static const BackendOps ops = make_ops();
    return &ops;
}

}  // namespace vnx
