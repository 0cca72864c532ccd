// odbserver: the ODBC gateway. Started by the master's port server as
// "odbserver PATH PORT" (PATH may itself hold blanks); serves one client on
// PORT and exits when that client stops. While it waits for its client it
// loads the data sources' ODBC drivers (gateway/driver_preload.h) and looks
// up the host its session notices go to, and sees that work end (or calls it
// off) before it exits. While it serves, a client may cancel its running
// statement (gateway/cancel.h). Its heap keeps what a large result frees
// for the next one (gateway/heap_tuning.h).
#include "gateway/cancel.h"
#include "gateway/driver_preload.h"
#include "gateway/heap_tuning.h"
#include "gateway/lib_svr.h"
#include "gateway/session.h"
#include "gateway/svr_session.h"
#include "runtime/handover.h"
#include "runtime/packet_exchange.h"
#include "runtime/server.h"
#include "transport/session_notice.h"

int main(int argc, char **argv) {
    // --help and --version answer before any warm-up thread or handler starts.
    if (int rc = vnx::gateway_answer_only(argc, argv); rc >= 0) return rc;
    // Process-wide heap limits, set before the warm-up thread starts.
    vnx::tune_gateway_heap();
    vnx::install_statement_cancel();
    vnx::set_idle_hook(vnx::release_idle_read_locks);
    vnx::set_backend_extensions(vnx::odb_backend_extensions());
    vnx::set_pool_hooks(vnx::odb_pool_hooks());
    vnx::start_driver_preload(vnx::kWarmUpPause,
                              [host = vnx::notice_host()] { vnx::warm_host_lookup(host); });
    int status = vnx::gateway_main(argc, argv, "odb", vnx::odb_backend_ops());
    // A client that leaves at once ends the gateway while the warm-up may
    // still pause or run: call it off or see it end while every library is
    // whole, before the exit handlers and static destructors take anything
    // down under it.
    vnx::wait_driver_preload();
    return status;
}
