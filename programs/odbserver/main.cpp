// odbserver: the ODBC gateway. Started by the master's port server as
// "odbserver PATH PORT" (PATH may itself hold blanks); serves one client on
// PORT and exits when that client stops.
#include "gateway/lib_svr.h"
#include "runtime/server.h"

int main(int argc, char **argv) {
    return vnx::gateway_main(argc, argv, "odb", vnx::odb_backend_ops());
}
