// A Varnex client in a few lines: ask the master's port server for a gateway,
// log in, connect to a data source, read a query's rows through a cursor
// declared with a parameter marker (its value bound by the gateway when the
// cursor is opened), then find a record of a table by key and read it.
//
//   example [HOST] [BASE_PORT] [DSN] [CITY]     (defaults: 127.0.0.1 8400 vnxdemo Lagos)
//
// It expects the demo's table customer (id, name, city, since); the password
// comes from VNXPASSWORD. Exits 0 when every step succeeded.
#include <varnex/port_query.h>
#include <varnex/record_client.h>
#include <varnex/sql_client.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int failed(const char *step, const dqp::SqlClient &sql) {
    fprintf(stderr, "example: %s failed: %s\n", step, sql.error().c_str());
    return 1;
}

void print_record(const dqp::Record &rec) {
    for (size_t i = 0; i < rec.fields.size() && i < rec.values.size(); i++)
        printf("  %s: %s\n", rec.fields[i].name.c_str(), rec.values[i].c_str());
}

}  // namespace

int main(int argc, char **argv) {
    std::string host = argc > 1 ? argv[1] : "127.0.0.1";
    int base_port = argc > 2 ? atoi(argv[2]) : 8400;
    std::string dsn = argc > 3 ? argv[3] : "vnxdemo";
    std::string city = argc > 4 ? argv[4] : "Lagos";
    const char *password = getenv("VNXPASSWORD");

    std::string err;
    std::unique_ptr<dqp::Connection> conn = dqp::open_session(host, base_port, "odb", &err);
    if (!conn) {
        fprintf(stderr, "example: no gateway from %s:%d: %s\n", host.c_str(), base_port,
                err.c_str());
        return 1;
    }
    dqp::SqlClient sql(*conn);
    if (sql.start("example", password ? password : "") != 0) return failed("START", sql);
    if (sql.connect(dsn, "", "") != 0) return failed("CONNECT", sql);

    // A named cursor with a parameter marker: declared once, opened with the
    // marker's value (bound by the gateway, never pasted into the statement),
    // read row by row.
    if (sql.declare_with_params(
            "cust", "SELECT id, name, city FROM customer WHERE id >= ? ORDER BY id") != 0)
        return failed("DECLARE", sql);
    dqp::ParamValue from_id[] = {{"2"}};
    int32_t rows = 0;
    if (sql.open("cust", from_id, &rows) != 0) return failed("OPEN", sql);
    printf("customers from id 2: %d\n", rows);
    for (;;) {
        dqp::Record rec;
        bool end = false;
        if (sql.fetch("cust", &rec, &end) != 0) return failed("FETCH", sql);
        if (end) break;
        printf("%s | %s | %s\n", rec.values[0].c_str(), rec.values[1].c_str(),
               rec.values[2].c_str());
    }
    if (sql.undeclare("cust") != 0) return failed("UNDECLARE", sql);

    // Record access: the table opened under an alias, a record found by the
    // value of a key (sent apart from any statement text) and read by number.
    dqp::RecordClient records(sql);
    dqp::UseOptions use;
    use.shared = true;
    use.order = "city";
    int32_t count = 0;
    if (records.use("customer", "c", use, &count) != 0) return failed("USE", sql);
    dqp::FindOptions find;
    find.exact = true;
    int32_t recno = 0;
    if (records.find("c", "customer", "city", city, find, &recno) != 0) return failed("FIND", sql);
    dqp::Record rec;
    bool end = false;
    if (records.read("c", recno, false, &rec, &end) != 0 || end) return failed("READ", sql);
    printf("record %d of %d, city %s:\n", recno, count, city.c_str());
    print_record(rec);
    if (records.unuse("c") != 0) return failed("UNUSE", sql);

    if (sql.disconnect() != 0) return failed("DISCONNECT", sql);
    if (sql.stop() != 0) return failed("STOP", sql);
    return 0;
}
