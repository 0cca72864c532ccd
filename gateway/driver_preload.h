// Warming a gateway's ODBC layer before its client asks for a data source.
//
// A gateway is a new process for each client, and the first SQLConnect in a
// process loads the driver library with everything it links (for psqlODBC:
// libpq, OpenSSL, Kerberos, LDAP and more), several milliseconds of work.
// A gateway that waits for its client (a warm spare above all) does that work
// beforehand, on a thread of its own, so that START is not delayed: it
// allocates an ODBC environment, which stays for the life of the process,
// and loads the driver library of every data source the driver manager lists
// (user and system DSNs), and the OpenSSL such a library links; it notes
// each DSN's library for CONNECT (preloaded_driver_library), and does any
// further work its starter hands it (odbserver: the look-up of its master's
// host name, which START's session notice makes).
//
// The warm-up begins after a pause: the master starts a new spare at the
// moment a client has taken the previous one, and that client's CONNECT,
// the costliest step of its session, follows at once; on a busy machine the
// warm-up would slow it down. It is work for the time before the client
// comes: a START (or the end of the process) that comes before it has begun
// calls it off, and CONNECT then loads its driver itself, as without the
// warm-up; so a gateway started for a waiting client, or one handed out at
// once, spends nothing on it. A warm-up that has begun is finished, and a
// CONNECT that comes meanwhile waits for it before its first ODBC call.
// Either way CONNECT then connects as it always did. A library that cannot be
// loaded is left alone; the driver manager reports it at CONNECT as before.
// Nothing is loaded, nor the driver manager asked, while the ini files could
// be changed by another user, and no library that could be (standard error
// says why); CONNECT then refuses such a data source (untrusted_data_source).
// Until START it then rehearses the drivers' profile look-ups every
// kRehearsalPeriod (gateway/profile_rehearsal.h), and CONNECT finds the ini
// files' settings cached unless the files changed since (then it reads them
// afresh, and looks the DSN's driver up again).
// ODBServer "preload_drivers" set to "false" switches the warm-up off.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vnx {

// The driver library of each data source the driver manager lists, once
// each, in the order of the list: the "Driver" entry of the DSN's driver in
// odbcinst.ini, or the DSN's driver itself when that is a path. DSNs whose
// driver names no library are left out. Calls the driver manager.
std::vector<std::string> data_source_driver_libraries();

// Longer than the CPU-bound part of a local PostgreSQL connect on a loaded
// two-core machine (about 10 to 15 ms), far shorter than a spare usually
// waits for its client.
inline constexpr std::chrono::milliseconds kWarmUpPause{20};

// How often a waiting gateway rehearses its drivers' profile look-ups
// (gateway/profile_rehearsal.h): well within the 20 s unixODBC keeps them.
inline constexpr std::chrono::milliseconds kRehearsalPeriod{10000};

// Starts the warm-up on a thread of its own, to begin after `pause` (at once,
// and then never called off, when it is 0), unless the settings switch it
// off or it has started already; `also`, when given, runs on that thread
// after the drivers are loaded, and must be safe to run beside the main
// thread. Call before any other ODBC call of the process (odbserver does,
// first thing).
void start_driver_preload(std::chrono::milliseconds pause = kWarmUpPause,
                          std::function<void()> also = {});

// Calls off a warm-up that has not begun (START does: the client is here).
void call_off_driver_preload();

// Calls off a warm-up that has not begun, or waits until it has ended; after
// it, this thread may call ODBC. Returns the number of libraries loaded
// (0 when the warm-up was called off or never started).
int wait_driver_preload();

// Why data source `dsn` must not be connected to: its ini files, or the
// driver or setup library it names, could be changed by a user other than
// root or this process's own (support/odbc_files.h). Empty when it may. The
// reason, with the command that mends it, also goes to standard error (the
// master's log).
std::string untrusted_data_source(const std::string &dsn);

// The driver library of data source dsn (names compared without regard to
// case) as a finished warm-up found it; empty when no warm-up ran to its end,
// when it is still to be waited for, or when it did not list dsn.
std::string preloaded_driver_library(const std::string &dsn);

}  // namespace vnx
