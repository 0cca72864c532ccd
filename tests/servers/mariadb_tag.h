// The tag that MariaDB Connector/ODBC puts before every message of the
// server, "[ma-3.1.15][10.11.19-MariaDB-0+deb12u1]": the driver's version and
// the server's. Tests build it from the driver and server they run against,
// so that they can assert a message exactly on any installation.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <string>

namespace vnxtest {

// An ODBC version text "03.01.0015" as "3.1.15"; other texts unchanged.
inline std::string plain_version(const std::string &odbc_version) {
    int major = 0, minor = 0, patch = 0;
    if (sscanf(odbc_version.c_str(), "%d.%d.%d", &major, &minor, &patch) != 3) return odbc_version;
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

// The tag, read over a direct connection to DSN dsn: SQL_DRIVER_VER and
// SELECT VERSION(). "" when the connection or a call fails.
inline std::string mariadb_message_tag(const std::string &dsn, const std::string &user,
                                       const std::string &password) {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT st = SQL_NULL_HSTMT;
    std::string tag;
    if (!SQL_SUCCEEDED(SQLAllocEnv(&env))) return tag;
    if (!SQL_SUCCEEDED(SQLAllocConnect(env, &dbc))) {
        SQLFreeEnv(env);
        return tag;
    }
    auto text = [](const std::string &s) {
        return reinterpret_cast<SQLCHAR *>(const_cast<char *>(s.c_str()));
    };
    if (SQL_SUCCEEDED(
            SQLConnect(dbc, text(dsn), SQL_NTS, text(user), SQL_NTS, text(password), SQL_NTS))) {
        char driver[64] = "", server[128] = "";
        SQLSMALLINT driver_len = 0;
        SQLLEN server_len = 0;
        bool ok =
            SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_DRIVER_VER, driver, sizeof driver, &driver_len)) &&
            SQL_SUCCEEDED(SQLAllocStmt(dbc, &st)) &&
            SQL_SUCCEEDED(SQLExecDirect(st, text("SELECT VERSION()"), SQL_NTS)) &&
            SQL_SUCCEEDED(SQLFetch(st)) &&
            SQL_SUCCEEDED(SQLGetData(st, 1, SQL_C_CHAR, server, sizeof server, &server_len));
        if (ok) tag = "[ma-" + plain_version(driver) + "][" + server + "]";
        if (st != SQL_NULL_HSTMT) SQLFreeStmt(st, SQL_DROP);
        SQLDisconnect(dbc);
    }
    SQLFreeConnect(dbc);
    SQLFreeEnv(env);
    return tag;
}

}  // namespace vnxtest
