// The session registry: "users.db" in the DB_ROOT directory, one 92-byte
// record per client session that a gateway of this master serves.
//
// File layout (little-endian): a 1024-byte header of zeros, then record slots
// from offset 1024. A fresh file is the header and the single end-marker byte
// 0x1A. Record slot:
//    0  1  status: ' ' live, '*' free (any other byte, the end marker, free)
//    1  3  unused (written as zeros)
//    4  4  GID (-1 none)          8  4  UID (-1 none)
//   12  4  process: the gateway's pid as the port table holds it
//   16 25  user name, NUL-terminated (cut to 24 bytes)
//   41 25  type field: three-letter type code + client address (cut to 24)
//   66 11  login date DD/MM/CCYY     77 11  login time hh:mm:ss
//   88  4  port
// A record is always written whole with one 92-byte write, so the console,
// which reads the file from another thread without a lock, never sees half
// a record.
//
// The master's port-server thread owns the open file, the live-session
// count and the "GetUser" cursor (process-wide state below). Functions
// return 0 on success unless said otherwise; a registry that cannot be
// created or opened does no file work but still counts sessions.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vnx {

inline constexpr int SESSION_HEADER_SIZE = 1024;
inline constexpr int SESSION_RECORD_SIZE = 92;
inline constexpr int SESSION_NAME_FIELD = 25;  // 24 bytes of text and a NUL
inline constexpr char SESSION_LIVE = ' ';
inline constexpr char SESSION_FREE = '*';

struct SessionRecord {
    char status = SESSION_FREE;
    int32_t gid = -1;
    int32_t uid = -1;
    int32_t process = 0;
    std::string name;
    std::string type_field;
    std::string login_date;
    std::string login_time;
    int32_t port = 0;
};

// Packs a record into its 92 bytes (texts cut to their fields) and back.
void encode_session_record(const SessionRecord &r, unsigned char out[SESSION_RECORD_SIZE]);
SessionRecord decode_session_record(const unsigned char in[SESSION_RECORD_SIZE]);

// Path of the registry: DB_ROOT + "/users.db".
std::string session_registry_path();

// Mode of users.db: written by the master, read by its group (the console).
inline constexpr unsigned kSessionRegistryMode = 0640;

// Deletes and recreates the file (header + end marker, mode
// kSessionRegistryMode) and closes any open handle. 1 when a new file was
// made, 0 otherwise. Also resets the live
// count and the "GetUser" cursor.
int reset_session_registry();
// Opens the file for reading and writing if not yet open; the descriptor, or
// -1.
int open_session_registry();
// Closes the open file (if any).
void close_session_registry();

// "AddUser": counts the session and writes a live record in the first slot
// that is not live (or at the end), stamped with the current date and time.
int register_session(const std::string &name, int32_t process, int32_t port, int32_t gid,
                     int32_t uid, const std::string &type_field);
// "RemUser": uncounts the session (not below 0) and frees the first live
// record whose GID, UID, process and port all match.
int unregister_session(const std::string &name, int32_t process, int32_t port, int32_t gid,
                       int32_t uid, const std::string &type_field);
// A gateway process has ended: frees its live record, if it still has one,
// and uncounts it. 1 when a record was freed, 0 when none was live.
int release_session_process(int32_t process);

// "GetUser": restart_flag 0 starts from slot 0, other values move to the
// next slot. 0 and the session line in *out, or -1 and an empty *out when
// there are no live sessions, the file is not open, or the slot at the
// cursor is not live / past the end. Line:
//   name,TYPE NAME,address,process,port,date time,[gid,uid]
// (the bracket part only when gid or uid is >= 0).
[[nodiscard]] int list_session(int restart_flag, std::string *out);

// Display name of a type code ("ODB" -> "ODBC", upper-cased first; unknown
// codes unchanged).
std::string database_type_name(const std::string &code);

// Terminates (SIGTERM) every process that a live record lists, when it is
// still one of our gateways. Records are left unchanged.
void terminate_sessions();
// True when pid is still a gateway of this installation: a child of this
// process, a process whose program lies in the DB_ROOT directory, or one
// started by a path in that directory (its first argument) that resolves to
// the program it runs (a gateway program installed as a symbolic link).
bool is_our_gateway(pid_t pid, const std::string &db_root);

// Count of live sessions as the requests maintain it.
int live_sessions();

// All record slots of a registry file (for the console and tests); -1 when
// it cannot be read.
[[nodiscard]] int read_session_file(const std::string &path, std::vector<SessionRecord> *out);

}  // namespace vnx
