// Fuzzes the typed client calls' reading of replies: the input, after a first
// byte that picks the call, is what the "gateway" sends (frames, METADATA
// containers, anything), followed by the end of the connection. Also feeds
// the input to the field-description parsers and the statement splitter.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "client/record_client.h"
#include "client/sql_client.h"
#include "client/sql_script.h"
#include "protocol/typed_value.h"

namespace {

void run_call(dqp::SqlClient &sql, dqp::RecordClient &rec, uint8_t which) {
    std::vector<dqp::FieldDesc> fields;
    std::vector<dqp::Row> rows;
    dqp::Record record;
    bool end = false;
    std::string text;
    dqp::ExecResult res;
    int32_t n = 0;
    dqp::SessionOptions typed;
    typed.typed = true;
    auto values = [](std::span<const dqp::ValueView> row) {
        for (const dqp::ValueView &v : row)
            if (v.null && !v.text.empty()) abort();
        return 0;
    };
    switch (which % 10) {
        case 0:
            sql.fetchmany("C1", &fields, &rows);
            break;
        case 1:
            sql.fetch("C1", &record, &end);
            break;
        case 2:
            sql.execsql("SELECT 1", &res);
            break;
        case 3:
            sql.fieldlist("C1", &fields);
            break;
        case 4:
            rec.memo("C1", 0, &text);
            break;
        case 5:
            sql.open("C1", &n);
            break;
        case 6:
            sql.connect("dsn", "u", "p");
            break;
        case 7:
            rec.read("A", 1, false, &record, &end);
            break;
        case 8:
            // A typed session: tagged rows, pieces, the diagnostic after a NOK.
            if (sql.connect("dsn", "u", "p", typed) == 0)
                sql.fetchmany_values("C1", nullptr, values);
            break;
        default:
            if (sql.connect("dsn", "u", "p", typed) == 0 && sql.fetch("C1", &record, &end) == 0 &&
                !end && record.nulls.size() != record.values.size())
                abort();
            break;
    }
    // Whatever happened, a refused call leaves a usable client and a broken
    // one refuses everything after.
    if (sql.failure() == dqp::Failure::refused && !sql.usable()) abort();
}

void parse_texts(const std::string &in) {
    dqp::FieldDesc d;
    std::string v;
    dqp::parse_field_desc(in, false, &d);
    if (dqp::parse_field_desc(in, true, &d) == 0 && d.readonly != 0 && d.readonly != 1) abort();
    dqp::parse_described_value(in, &d, &v);
    dqp::StatementSplitter s;
    s.feed(in);
    for (std::string st; s.next(&st);)
        if (st.empty()) abort();
    std::vector<std::string> words;
    std::string why;
    dqp::split_words(in, &words, &why);
    dqp::TypedField f;
    size_t used = 0;
    if (dqp::parse_typed_description(in, false, &f, &used) == 0 && used > in.size()) abort();
    // The input's lines as a row and its pieces.
    dqp::TypedRowAssembler a(1 << 16);
    std::vector<std::string_view> lines;
    for (size_t at = 0; at <= in.size();) {
        size_t nl = std::min(in.find('\n', at), in.size());
        lines.push_back(std::string_view(in).substr(at, nl - at));
        at = nl + 1;
    }
    if (a.start({lines.begin(), lines.begin() + std::min<size_t>(lines.size(), 4)}) == 0)
        for (size_t i = 4; i < lines.size(); i++)
            a.add_piece(static_cast<int32_t>(i % 5), lines[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 60000) return 0;
    parse_texts(std::string(reinterpret_cast<const char *>(data) + 1, size - 1));
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    int buf = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    if (write(fds[1], data + 1, size - 1) != static_cast<ssize_t>(size - 1)) {
        close(fds[0]);
        close(fds[1]);
        return 0;
    }
    shutdown(fds[1], SHUT_WR);
    {
        auto conn = dqp::Connection::adopt(fds[0], 1000);
        dqp::SqlClient sql(*conn);
        dqp::RecordClient rec(sql);
        run_call(sql, rec, data[0]);
        run_call(sql, rec, static_cast<uint8_t>(data[0] >> 3));
    }
    close(fds[1]);
    return 0;
}
