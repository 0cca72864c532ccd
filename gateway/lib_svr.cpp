// The ODBC gateway's operation table. See lib_svr.h.
#include "gateway/lib_svr.h"

#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/find.h"
#include "gateway/locks.h"
#include "gateway/record_io.h"
#include "gateway/rows.h"
#include "gateway/session.h"
#include "gateway/statement_params.h"
#include "gateway/table_open.h"

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
    ops.count = db_server_count;                // 9
    ops.del = db_server_delete;                 // 10
    ops.find = db_server_find;                  // 11
    ops.insert = db_server_insert;              // 12
    ops.read = db_server_read;                  // 13
    ops.update = db_server_update;              // 14
    ops.maperror = db_server_maperror;          // 15
    ops.fetch = db_server_fetch;                // 16
    ops.fetchmany = db_server_fetchmany;        // 17
    ops.commit = db_server_commit;              // 18
    ops.rollback = db_server_rollback;          // 19
    ops.attach = db_server_attach;              // 20
    ops.detach = db_server_detach;              // 21
    ops.execute = db_server_execute;            // 22
    ops.use = db_server_use;                    // 23
    ops.unuse = db_server_unuse;                // 24
    ops.zap = db_server_zap;                    // 25
    ops.fieldlist = db_server_fieldlist;        // 26
    ops.tablelist = db_server_tablelist;        // 27
    ops.islocked = db_server_islocked;          // 28
    ops.lock = db_server_lock;                  // 29
    ops.unlock = db_server_unlock;              // 30
    ops.islock_table = db_server_islock_table;  // 31
    ops.lock_table = db_server_lock_table;      // 32
    ops.rlock_table = db_server_rlock_table;    // 33
    ops.unlock_table = db_server_unlock_table;  // 34
    ops.extend_fetch = db_server_extend_fetch;  // 47
    ops.memo = db_server_memo;                  // 48
    return ops;
}

}  // namespace

const BackendOps *odb_backend_ops() {
    static const BackendOps ops = make_ops();
    return &ops;
}

const BackendExtensions *odb_backend_extensions() {
    static const BackendExtensions ext{db_server_execsql_params, db_server_execsql_typed_params,
                                       db_server_typed_session, db_server_typed_error,
                                       db_server_last_row_count};
    return &ext;
}

}  // namespace vnx
