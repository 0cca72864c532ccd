// Long character values inline in rows. See long_text.h.
#include "gateway/long_text.h"

#include <sqlext.h>

#include <algorithm>
#include <cstring>
#include <numeric>

#include "gateway/diagnostics.h"
#include "gateway/row_format.h"
#include "protocol/long_text.h"
#include "protocol/packet.h"

namespace vnx {

namespace {

constexpr SQLLEN kLongBufferSize = static_cast<SQLLEN>(dqp::kLongTextMax) + 1;

// Bytes a packet argument takes besides its value: its offset and length.
constexpr size_t kArgumentOverhead = 8;

size_t byte_cost(unsigned char b) {
    return b == 0x01 ? 3 : 1;
}

// The value as the client gets it when the packet has room to spare.
std::string full_text(const LongValue &v) {
    if (v.whole) return std::string(v.text);
    return cut_long_text(v.text, dqp::kLongTextMax);
}

}  // namespace

bool is_long_character(SQLSMALLINT sql_type) {
    return sql_type == SQL_LONGVARCHAR || sql_type == SQL_WLONGVARCHAR;
}

void bind_long_text(svr_session *s, csb *c) {
    if (!s->long_text || c->internal) return;
    SQLUSMALLINT n = 0;
    for (svr_column &col : c->columns->columns) {
        n++;
        if (!is_long_character(col.sql_type)) continue;
        col.long_data.assign(static_cast<size_t>(kLongBufferSize), '\0');
        SQLRETURN rc =
            SQLBindCol(c->hstmt, n, SQL_C_CHAR, col.long_data.data(), kLongBufferSize, &col.length);
        if (sql_ok(rc)) {
            c->long_text = true;
            continue;
        }
        col.long_data.clear();
        rc = SQLBindCol(c->hstmt, n, binding_type(col.sql_type), col.data, kColumnDataSize,
                        &col.length);
        svr_trace(s, "bind_long_text(%d)\n", rc);
    }
}

LongValue long_value(const svr_column &c) {
    if (c.length == SQL_NULL_DATA || c.long_data.empty()) return {{}, true};
    // A value the driver cut fills the buffer but its last byte (which some
    // drivers leave unterminated): kLongTextMax bytes at most are read.
    bool fits = c.length >= 0 && static_cast<size_t>(c.length) <= dqp::kLongTextMax;
    size_t in_buffer = fits ? static_cast<size_t>(c.length) : dqp::kLongTextMax;
    size_t n = strnlen(c.long_data.data(), in_buffer);
    // A NUL inside the value ends its text: what follows cannot travel.
    return {std::string_view(c.long_data.data(), n), fits && n == in_buffer};
}

size_t wire_cost(std::string_view text) {
    size_t n = text.size();
    for (char ch : text)
        if (ch == 0x01) n += 2;
    return n;
}

std::string cut_long_text(std::string_view text, size_t room) {
    size_t marker = wire_cost(dqp::kLongTextCut);
    size_t keep = room > marker ? room - marker : 0;
    size_t end = 0, cost = 0;
    while (end < text.size() && cost + byte_cost(static_cast<unsigned char>(text[end])) <= keep)
        cost += byte_cost(static_cast<unsigned char>(text[end++]));
    // Never split a character: back off over continuation bytes.
    while (end > 0 && end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        end--;
    std::string out(text.substr(0, end));
    out += dqp::kLongTextCut;
    return out;
}

std::vector<size_t> share_budget(const std::vector<size_t> &want, size_t budget) {
    std::vector<size_t> order(want.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return want[a] < want[b]; });
    std::vector<size_t> allot(want.size(), 0);
    size_t left = budget;
    for (size_t k = 0; k < order.size(); k++) {
        size_t share = left / (order.size() - k);
        allot[order[k]] = std::min(want[order[k]], share);
        left -= allot[order[k]];
    }
    return allot;
}

void build_long_text_row(const svr_columns &cols, bool with_descriptions, size_t limit,
                         std::vector<std::string> *texts) {
    texts->assign(cols.columns.size(), std::string());
    size_t used = dqp::PKT_HEADER_SIZE;
    std::vector<size_t> longs;
    for (size_t i = 0; i < cols.columns.size(); i++) {
        const svr_column &c = cols.columns[i];
        std::string &t = (*texts)[i];
        if (with_descriptions) t = field_description(c, false);
        if (c.long_data.empty())
            append_value_text(c, &t);
        else
            longs.push_back(i);
        used += kArgumentOverhead + wire_cost(t);
    }
    std::vector<std::string> full(longs.size());
    std::vector<size_t> want(longs.size());
    for (size_t k = 0; k < longs.size(); k++) {
        full[k] = full_text(long_value(cols.columns[longs[k]]));
        want[k] = wire_cost(full[k]);
    }
    std::vector<size_t> allot = share_budget(want, limit > used ? limit - used : 0);
    for (size_t k = 0; k < longs.size(); k++) {
        std::string &t = (*texts)[longs[k]];
        if (allot[k] >= want[k])
            t += full[k];
        else
            t += cut_long_text(long_value(cols.columns[longs[k]]).text, allot[k]);
    }
}

}  // namespace vnx
