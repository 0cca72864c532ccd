// Logins at START: whether a gateway requires one, and whether a user name
// and password are those of a console user (the accounts under
// "NetServer\\Users", their passwords stored hashed or, from older
// installations, in clear; support/password.h).
//
// With ODBServer "require_login" on, START must name such a user; the
// request loop then
// serves nothing but START, STOP and ABORT until START has succeeded, and a
// refused START is answered NOK no sooner than kLoginFailureDelayMs after it
// arrived, logged with the client's address, and ends the gateway. Off (the
// default), START is served as before and its password is not looked at.
//
// Reads the configuration store on each call; never caches a password.
#pragma once

#include <string>

namespace vnx {

// A refused login is answered no sooner than this after START arrived, so
// that a client cannot try passwords quickly (it also hides whether the user
// exists: every refusal takes the same time).
inline constexpr int kLoginFailureDelayMs = 1000;

// True when ODBServer "require_login" is on (every spelling of a switch the
// settings table takes; a text that is not one counts as on) in the values
// the master handed this gateway or in the store as it is now: switching
// logins on takes effect for the next client, switching them off only once
// the master has accepted it at a reload. `name` is the server type ("odb";
// only the ODBC gateway has logins).
bool login_required(const std::string &name);

// Why `user` with `password` may not log in, in words for the server log
// ("no such user", "wrong password", ...); empty when they may.
std::string login_refusal(const std::string &user, const std::string &password);

// A wire text made safe for one log line: bytes outside printable ASCII
// become \xNN, and the text is cut at 64 bytes ("..." appended).
std::string loggable(const std::string &text);

// A user name for a log line that others may read: its first three
// characters (made safe as loggable does) and "..." when it is longer. A
// client that sends START with two arguments puts its password where the
// user name goes; no log ever shows more of that field than this.
std::string loggable_user(const std::string &user);

}  // namespace vnx
