// Warming a gateway's ODBC layer before its client asks for a data source.
//
// A gateway is a new process for each client, and the first SQLConnect in a
// process loads the driver library with everything it links (for psqlODBC:
// libpq, OpenSSL, Kerberos, LDAP and more), several milliseconds of work.
// A gateway that waits for its client (a warm spare above all) does that work
// beforehand, on a thread of its own, so that START is not delayed: it
// allocates an ODBC environment, which stays for the life of the process,
// and loads the driver library of every data source the driver manager lists
// (user and system DSNs). CONNECT waits for that to end before its first
// ODBC call, then connects as it always did: the driver manager finds the
// library already loaded. A library that cannot be loaded is left alone; the
// driver manager reports it at CONNECT as before. ODBServer
// "preload_drivers" set to "false" switches the warm-up off.
#pragma once

#include <string>
#include <vector>

namespace vnx {

// The driver library of each data source the driver manager lists, once
// each, in the order of the list: the "Driver" entry of the DSN's driver in
// odbcinst.ini, or the DSN's driver itself when that is a path. DSNs whose
// driver names no library are left out. Calls the driver manager.
std::vector<std::string> data_source_driver_libraries();

// Starts the warm-up on a thread of its own, unless the settings switch it
// off or it has started already. Call before any other ODBC call of the
// process (odbserver does, first thing).
void start_driver_preload();

// Waits until the warm-up has ended (at once when it never started); after
// it, this thread may call ODBC. Returns the number of libraries loaded.
int wait_driver_preload();

}  // namespace vnx
