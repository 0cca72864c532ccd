// Readiness notices to a service manager (systemd's notify protocol): the
// port server says when it serves (READY=1), when it re-reads its settings
// (RELOADING=1, then READY=1) and when it stops (STOPPING=1).
//
// The master library does not link the service manager's library: the
// program installs a sender (db_dqpserver passes sd_notify), and without one
// every notice is dropped. A sender is called on the port-server thread only
// and must not block; it is itself a no-op when NOTIFY_SOCKET is unset.
#pragma once

namespace vnx {

// Sends one notice ("READY=1"); returns nothing, a failed send is not the
// master's concern (the service manager then times the start out).
using ServiceNotifier = void (*)(const char *state);

// Installs the sender (nullptr: none). Call before the port server starts.
void set_service_notifier(ServiceNotifier notifier);

// Sends `state` through the installed sender, if any.
void service_notify(const char *state);

}  // namespace vnx
