// Typed SQL calls of libdqpclient. See sql_client.h.
#include "client/sql_client.h"

#include <cctype>
#include <climits>
#include <cstdio>

#include "protocol/cursor_name.h"
#include "protocol/long_text.h"
#include "protocol/packet.h"
#include "protocol/pieces.h"
#include "protocol/typed_value.h"

namespace dqp {

namespace {

bool same_name(std::string_view a, std::string_view b) {
    // Names and keywords are ASCII: no locale look-up per character.
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

// True for a statement that starts (after blanks and opening parentheses)
// with SELECT, WITH or VALUES: one that makes a result.
bool reads_like_query(std::string_view sql) {
    size_t i = 0;
    while (i < sql.size() && (isspace(static_cast<unsigned char>(sql[i])) || sql[i] == '('))
        i++;
    size_t j = i;
    while (j < sql.size() && isalpha(static_cast<unsigned char>(sql[j])))
        j++;
    std::string_view word = sql.substr(i, j - i);
    return same_name(word, "SELECT") || same_name(word, "WITH") || same_name(word, "VALUES");
}

// The arguments of a parameter form after the statement or cursor: the word
// ("PARAMS", or "PARAMS:" and one NULL flag a value, '1' for NULL) and the
// values, a NULL as the empty text. *word holds the word's text and must
// outlive *args.
void add_param_args(std::span<const ParamValue> values, std::string *word,
                    std::vector<std::string_view> *args) {
    *word = "PARAMS";
    bool any_null = false;
    for (const ParamValue &v : values)
        any_null = any_null || v.null;
    if (any_null) {
        *word += ':';
        for (const ParamValue &v : values)
            *word += v.null ? '1' : '0';
    }
    args->push_back(*word);
    for (const ParamValue &v : values)
        args->push_back(v.null ? std::string_view() : v.text);
}

// Reads a row count: "-1" or a decimal of at most 18 digits.
bool parse_row_count(std::string_view s, int64_t *out) {
    if (s == "-1") {
        *out = -1;
        return true;
    }
    if (s.empty() || s.size() > 18) return false;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
}

bool is_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Reads a non-negative decimal of at most 9 digits (field widths, scales).
bool small_number(std::string_view s, int *out) {
    if (!is_digits(s) || s.size() > 9) return false;
    int v = 0;
    for (char c : s)
        v = v * 10 + (c - '0');
    *out = v;
    return true;
}

// Matches ":W:T:D:" (width, type letter, decimals) at text[pos]; on success the
// index just past it.
bool match_desc_tail(std::string_view text, size_t pos, FieldDesc *d, size_t *end) {
    if (pos >= text.size() || text[pos] != ':') return false;
    size_t w_end = text.find(':', pos + 1);
    if (w_end == std::string_view::npos ||
        !small_number(text.substr(pos + 1, w_end - pos - 1), &d->width))
        return false;
    if (w_end + 3 > text.size() || text[w_end + 2] != ':') return false;
    char type = text[w_end + 1];
    if (type < 'A' || type > 'Z') return false;
    size_t s_end = text.find(':', w_end + 3);
    if (s_end == std::string_view::npos ||
        !small_number(text.substr(w_end + 3, s_end - w_end - 3), &d->decimals))
        return false;
    d->type = type;
    *end = s_end + 1;
    return true;
}

const char *scroll_keyword(Scroll how) {
    switch (how) {
        case Scroll::next:
            return "NEXT";
        case Scroll::first:
            return "FIRST";
        case Scroll::last:
            return "LAST";
        case Scroll::prior:
            return "PREVIOUS";
        case Scroll::absolute:
            return "ABSOLUTE";
        case Scroll::relative:
            return "RELATIVE";
        case Scroll::bookmark:
            return "BOOKMARK";
    }
    return "NEXT";
}

std::string type_text(int type) {
    if (type >= 0x20 && type < 0x7F) return std::string("'") + static_cast<char>(type) + "'";
    return "code " + std::to_string(type);
}

}  // namespace

int parse_decimal(std::string_view text, int32_t *out) {
    bool neg = !text.empty() && text[0] == '-';
    std::string_view digits = neg ? text.substr(1) : text;
    if (!is_digits(digits) || digits.size() > 10) return -1;
    long long v = 0;
    for (char c : digits)
        v = v * 10 + (c - '0');
    if (neg) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return -1;
    *out = static_cast<int32_t>(v);
    return 0;
}

int parse_field_desc(std::string_view text, bool with_readonly, FieldDesc *out) {
    // The name may hold colons, so the numbers are taken from the right.
    FieldDesc d;
    if (with_readonly) {
        if (text.size() < 2 || text.back() != ':') return -1;
        size_t colon = text.rfind(':', text.size() - 2);
        if (colon == std::string_view::npos) return -1;
        int ro = 0;
        if (!small_number(text.substr(colon + 1, text.size() - colon - 2), &ro) || ro > 1)
            return -1;
        d.readonly = ro;
        text = text.substr(0, colon + 1);
    }
    // text is now "NAME:W:T:D:"; find where the tail starts.
    for (size_t pos = text.find(':'); pos != std::string_view::npos;
         pos = text.find(':', pos + 1)) {
        size_t end = 0;
        if (match_desc_tail(text, pos, &d, &end) && end == text.size()) {
            d.name = std::string(text.substr(0, pos));
            *out = std::move(d);
            return 0;
        }
    }
    return -1;
}

int parse_described_value(std::string_view text, FieldDesc *desc, std::string *value) {
    // The first place where ":W:T:D:" follows ends the name; the value, which
    // may hold colons of its own, is the rest.
    FieldDesc d;
    for (size_t pos = text.find(':'); pos != std::string_view::npos;
         pos = text.find(':', pos + 1)) {
        size_t end = 0;
        if (match_desc_tail(text, pos, &d, &end)) {
            d.name = std::string(text.substr(0, pos));
            *value = std::string(text.substr(end));
            *desc = std::move(d);
            return 0;
        }
    }
    return -1;
}

int check_cursor_name(std::string_view name, std::string *why) {
    if (name.empty() || name.size() > kMaxCursorName) {
        *why = "cursor names are 1 to " + std::to_string(kMaxCursorName) + " characters";
        return -1;
    }
    for (unsigned char c : name)
        if (c <= ' ' || c == 0x7F) {
            *why = "cursor names hold no blanks or control characters";
            return -1;
        }
    return 0;
}

// --- failure plumbing ------------------------------------------------------

int SqlClient::fail(const std::string &why) {
    if (failure_ == Failure::none) failure_ = Failure::protocol;
    error_ = why;
    return -1;
}

int SqlClient::broken(const std::string &why) {
    broken_ = true;
    failure_ = Failure::protocol;
    error_ = why;
    return -1;
}

int SqlClient::refuse(const Reply &nok, const std::string &what) {
    failure_ = Failure::refused;
    last_status_ = nok.info;
    error_ = what + " failed (status " + std::to_string(nok.info) + ")";
    if (typed_ && connected_ && auto_diagnostic_ && pending_next_ >= pending_.size())
        fetch_typed_error();
    return -1;
}

void SqlClient::take_typed_error(const Reply &r) {
    if (r.type != PKT_TYPE_OK || r.args.size() < 4) return;
    if (!r.args[0].empty()) error_ = r.args[0];
    sqlstate_ = r.args[1];
    detail_ = r.args[2];
    hint_ = r.args[3];
    held_diagnostic_ = r.args[0];
}

// MAPERROR right after a refusal: the refusal's failure and status stay,
// error() becomes the data source's message. A connection that fails here is
// broken as any other.
void SqlClient::fetch_typed_error() {
    Reply r;
    if (conn_.send(PKT_TYPE_MAPERROR, handle_, {}) != 0 || conn_.receive(&r) != 0) {
        broken_ = true;
        failure_ = Failure::protocol;
        error_ = conn_.error();
        return;
    }
    take_typed_error(r);
}

int SqlClient::begin() {
    held_diagnostic_.reset();
    sqlstate_.clear();
    detail_.clear();
    hint_.clear();
    failure_ = Failure::none;
    last_status_ = 0;
    error_.clear();
    if (!broken_) return 0;
    failure_ = Failure::protocol;
    error_ = "the connection to the gateway is no longer usable";
    return -1;
}

int SqlClient::send_request(int type, std::initializer_list<std::string_view> args) {
    return send_request(type, std::span<const std::string_view>(args.begin(), args.size()));
}

int SqlClient::call(int type, std::initializer_list<std::string_view> args, size_t min_args,
                    Reply *reply) {
    return call(type, std::span<const std::string_view>(args.begin(), args.size()), min_args,
                reply);
}

int SqlClient::send_request(int type, std::span<const std::string_view> args) {
    if (begin() != 0) return -1;
    pending_.clear();
    pending_next_ = 0;
    // A packet is text: a NUL byte would end it early on the other side.
    for (std::string_view a : args)
        if (a.find('\0') != std::string_view::npos) return fail("texts cannot hold NUL bytes");
    int rc = conn_.send(type, handle_, args);
    if (rc == Connection::kNotSent) {  // never sent: the stream is still in step
        failure_ = Failure::protocol;
        error_ = conn_.error();
        return -1;
    }
    if (rc != 0) return broken(conn_.error());
    return 0;
}

int SqlClient::check_reply(int type, const Reply &r, size_t min_args) {
    const char *name = packet_type_name(type);
    std::string what = name != nullptr ? name + 9 : type_text(type);
    if (r.type == PKT_TYPE_NOK) return refuse(r, what);
    if (r.type != PKT_TYPE_OK)
        return broken("unexpected reply " + type_text(r.type) + " to " + what);
    if (r.args.size() < min_args)
        return broken("the reply to " + what + " has " + std::to_string(r.args.size()) +
                      " arguments, expected " + std::to_string(min_args));
    return 0;
}

int SqlClient::call(int type, std::span<const std::string_view> args, size_t min_args,
                    Reply *reply) {
    Reply local;
    Reply &r = reply != nullptr ? *reply : local;
    if (send_request(type, args) != 0) return -1;
    if (conn_.receive(&r) != 0) return broken(conn_.error());
    return check_reply(type, r, min_args);
}

int SqlClient::next_view(ReplyView *out) {
    while (pending_next_ >= pending_.size()) {
        if (packet_ == nullptr) packet_ = std::make_unique<char[]>(PKT_BUFSIZE);
        char *pkt = packet_.get();
        int len = 0;
        if (conn_.receive_packet(pkt, &len) != 0) return broken(conn_.error());
        size_t size = static_cast<size_t>(len);
        pending_next_ = 0;
        int rc = pending_.split(pkt, size);
        if (rc == SplitReplies::kMalformedInner)
            return broken("malformed packet inside a METADATA container");
        if (rc != 0)
            return broken(size >= PKT_HEADER_SIZE && pkt_type(pkt) == PKT_TYPE_METADATA
                              ? "malformed METADATA packet"
                              : "malformed packet");
    }
    *out = pending_[pending_next_++];
    return 0;
}

int SqlClient::next_reply(Reply *out) {
    ReplyView v;
    if (next_view(&v) != 0) return -1;
    to_reply(v, out);
    return 0;
}

// --- result streams --------------------------------------------------------

namespace {

// A row callback that takes views, over one that takes a Row: the values are
// copied into one Row kept from call to call, so a callback that does not
// keep the row costs no allocation per row. on_row must outlive the result.
RowViewFn row_copier(const RowFn &on_row) {
    if (!on_row) return nullptr;
    return [&on_row, row = Row()](std::span<const std::string_view> values) mutable {
        row.resize(values.size());
        for (size_t k = 0; k < values.size(); k++)
            row[k].assign(values[k]);
        return on_row(std::move(row));
    };
}

}  // namespace

int SqlClient::parse_desc(std::string_view text, bool field_list, FieldDesc *out,
                          size_t *used) const {
    if (!typed_) {
        *used = text.size();
        return parse_field_desc(text, field_list, out);
    }
    TypedField f;
    if (parse_typed_description(text, field_list, &f, used) != 0) return -1;
    *out = FieldDesc{};
    out->name = std::move(f.name);
    out->width = f.width;
    out->type = f.letter;
    out->decimals = f.scale;
    out->readonly = field_list ? (f.readonly ? 1 : 0) : -1;
    out->typed = true;
    out->value_type = f.type;
    out->precision = f.precision;
    out->nullable = f.nullable;
    out->display = f.display;
    out->source = std::move(f.source);
    return 0;
}

int SqlClient::parse_descs(std::span<const std::string_view> args, bool field_list,
                           std::vector<FieldDesc> *fields) const {
    fields->clear();
    for (std::string_view a : args) {
        FieldDesc d;
        size_t used = 0;
        if (parse_desc(a, field_list, &d, &used) != 0 || used != a.size()) return -1;
        fields->push_back(std::move(d));
    }
    return 0;
}

int SqlClient::parse_descs(const std::vector<std::string> &args, bool field_list,
                           std::vector<FieldDesc> *fields) const {
    std::vector<std::string_view> views(args.begin(), args.end());
    return parse_descs(views, field_list, fields);
}

int SqlClient::read_rows(const HeaderFn &on_header, const RowFn &on_row) {
    return read_row_views(on_header, row_copier(on_row));
}

int SqlClient::read_value_rows(const HeaderFn &on_header, const ValueRowFn &on_row) {
    if (typed_) return read_typed_rows(on_header, on_row);
    if (!on_row) return read_row_views(on_header, nullptr);
    std::vector<ValueView> values;
    return read_row_views(on_header, [&](std::span<const std::string_view> row) {
        values.resize(row.size());
        for (size_t i = 0; i < row.size(); i++)
            values[i] = {row[i], false};
        return on_row(values);
    });
}

namespace {

// Tagged values without pieces straight to views; false when one is
// malformed.
bool tagged_views(std::span<const std::string_view> args, std::vector<ValueView> *out) {
    out->resize(args.size());
    for (size_t i = 0; i < args.size(); i++) {
        TaggedValue v;
        if (parse_tagged_value(args[i], &v) != 0) return false;
        (*out)[i] = {v.text, v.tag == kNullTag};
    }
    return true;
}

bool has_piece(std::span<const std::string_view> args) {
    for (std::string_view a : args)
        if (!a.empty() && a[0] == kPieceTag) return true;
    return false;
}

void assembled_views(const TypedRowAssembler &a, std::vector<ValueView> *out) {
    out->resize(a.values().size());
    for (size_t i = 0; i < out->size(); i++)
        (*out)[i] = {a.values()[i], a.nulls()[i]};
}

}  // namespace

// The typed form of read_row_views: rows of tagged values, each value that
// arrives in pieces reassembled before its row is handed over.
int SqlClient::read_typed_rows(const HeaderFn &on_header, const ValueRowFn &on_row) {
    bool stopped = false, seen_header = false, seen_row = false;
    result_ended_ = false;
    size_t columns = 0;
    std::string mismatch;
    TypedRowAssembler pieces(kMaxTypedValue);
    bool in_pieces = false;
    std::vector<ValueView> values;
    auto deliver = [&]() {
        if (!stopped && on_row && on_row(values) != 0) stopped = true;
    };
    for (;;) {
        ReplyView r;
        if (next_view(&r) != 0) return -1;
        if (r.type == PKT_TYPE_DATA) {
            if (in_pieces) return broken("a row arrived before the pieces of a value ended");
            if (!seen_header && !seen_row) columns = r.args.size();
            seen_row = true;
            if (r.args.size() != columns && mismatch.empty()) {
                mismatch = "a row of " + std::to_string(r.args.size()) + " values under " +
                           std::to_string(columns) + " fields";
                stopped = true;
            }
            if (!has_piece(r.args)) {
                if (!tagged_views(r.args, &values)) return broken("malformed value in a row");
                deliver();
                continue;
            }
            std::vector<std::string_view> tagged(r.args.begin(), r.args.end());
            if (pieces.start(tagged) != 0) return broken(pieces.error());
            in_pieces = true;
        } else if (r.type == PKT_TYPE_PIECE) {
            if (r.args.size() != 1) return broken("a piece of a value without its one argument");
            if (pieces.add_piece(r.info, r.args[0]) != 0) return broken(pieces.error());
            if (!pieces.whole()) continue;
            assembled_views(pieces, &values);
            deliver();
            pieces.reset();
            in_pieces = false;
        } else if (r.type == PKT_TYPE_OK) {
            if (seen_header || seen_row) return broken("a second row header inside a result");
            std::vector<FieldDesc> fields;
            if (parse_descs(r.args, false, &fields) != 0)
                return broken("malformed field description");
            seen_header = true;
            columns = fields.size();
            if (!stopped && on_header && on_header(fields) != 0) stopped = true;
        } else if (r.type == PKT_TYPE_EOF || r.type == PKT_TYPE_NOK) {
            if (in_pieces) return broken("the result ended inside the pieces of a value");
            if (pending_next_ < pending_.size()) return broken("packets after the end of a result");
            if (r.type == PKT_TYPE_NOK) {
                Reply nok;
                to_reply(r, &nok);
                return refuse(nok, nok.args.empty() ? "the fetch"
                                                    : "fetch of cursor \"" + nok.args[0] + "\"");
            }
            result_ended_ = true;
            if (!mismatch.empty()) return fail(mismatch);
            if (stopped) return fail("stopped by the caller");
            return 0;
        } else {
            return broken("unexpected packet " + type_text(r.type) + " inside a result");
        }
    }
}

int SqlClient::read_row_views(const HeaderFn &on_header, const RowViewFn &on_row) {
    if (typed_) {
        // The untyped view of typed rows: a NULL is the empty text.
        std::vector<std::string_view> texts;
        ValueRowFn adapter = nullptr;
        if (on_row)
            adapter = [&](std::span<const ValueView> values) {
                texts.resize(values.size());
                for (size_t i = 0; i < values.size(); i++)
                    texts[i] = values[i].text;
                return on_row(texts);
            };
        return read_typed_rows(on_header, adapter);
    }
    bool stopped = false, seen_header = false, seen_row = false;
    result_ended_ = false;
    size_t columns = 0;
    std::string mismatch;
    for (;;) {
        ReplyView r;
        if (next_view(&r) != 0) return -1;
        if (r.type == PKT_TYPE_DATA) {
            if (!seen_header && !seen_row) columns = r.args.size();
            seen_row = true;
            if (r.args.size() != columns && mismatch.empty()) {
                mismatch = "a row of " + std::to_string(r.args.size()) + " values under " +
                           std::to_string(columns) + " fields";
                stopped = true;
            }
            if (!stopped && on_row && on_row(r.args) != 0) stopped = true;
        } else if (r.type == PKT_TYPE_OK) {
            if (seen_header || seen_row) return broken("a second row header inside a result");
            std::vector<FieldDesc> fields;
            if (parse_descs(r.args, false, &fields) != 0)
                return broken("malformed field description");
            seen_header = true;
            columns = fields.size();
            if (!stopped && on_header && on_header(fields) != 0) stopped = true;
        } else if (r.type == PKT_TYPE_EOF || r.type == PKT_TYPE_NOK) {
            if (pending_next_ < pending_.size()) return broken("packets after the end of a result");
            if (r.type == PKT_TYPE_NOK) {
                Reply nok;
                to_reply(r, &nok);
                return refuse(nok, nok.args.empty() ? "the fetch"
                                                    : "fetch of cursor \"" + nok.args[0] + "\"");
            }
            result_ended_ = true;
            if (!mismatch.empty()) return fail(mismatch);
            if (stopped) return fail("stopped by the caller");
            return 0;
        } else {
            return broken("unexpected packet " + type_text(r.type) + " inside a result");
        }
    }
}

int SqlClient::read_record(Record *out, bool *end) {
    Reply r;
    out->fields.clear();
    out->values.clear();
    *end = false;
    if (next_reply(&r) != 0) return -1;
    if (pending_next_ < pending_.size()) return broken("more than one reply to a one-row request");
    if (r.type == PKT_TYPE_EOF) {
        *end = true;
        return 0;
    }
    if (r.type == PKT_TYPE_NOK)
        return refuse(r, r.args.empty() ? "the fetch" : "fetch of cursor \"" + r.args[0] + "\"");
    if (r.type != PKT_TYPE_DATA)
        return broken("unexpected reply " + type_text(r.type) + " to a one-row request");
    if (typed_) return read_typed_record(r, out);
    for (const std::string &a : r.args) {
        FieldDesc d;
        std::string v;
        if (parse_described_value(a, &d, &v) != 0) return broken("malformed value in a row");
        out->fields.push_back(std::move(d));
        out->values.push_back(std::move(v));
    }
    return 0;
}

// A typed self-describing row, and the PIECE packets that follow it as
// packets of their own.
int SqlClient::read_typed_record(const Reply &r, Record *out) {
    std::vector<std::string_view> tagged;
    for (const std::string &a : r.args) {
        FieldDesc d;
        size_t used = 0;
        if (parse_desc(a, false, &d, &used) != 0) return broken("malformed value in a row");
        out->fields.push_back(std::move(d));
        tagged.push_back(std::string_view(a).substr(used));
    }
    TypedRowAssembler pieces(kMaxTypedValue);
    if (pieces.start(tagged) != 0) return broken(pieces.error());
    while (!pieces.whole()) {
        Reply p;
        if (next_reply(&p) != 0) return -1;
        if (p.type != PKT_TYPE_PIECE || p.args.size() != 1)
            return broken("unexpected reply " + type_text(p.type) + " inside a row's pieces");
        if (pieces.add_piece(p.info, p.args[0]) != 0) return broken(pieces.error());
    }
    out->values = pieces.values();
    out->nulls = pieces.nulls();
    return 0;
}

// --- session ---------------------------------------------------------------

int SqlClient::start(std::string_view user, std::string_view password, int32_t *server_pid) {
    Reply r;
    if (call(PKT_TYPE_START, {"", user, password}, 0, &r) != 0) {
        // A refused login ends the gateway, so MAPERROR cannot be asked: the
        // NOK carries the gateway's reason (kept printable, and short).
        if (failure_ == Failure::refused && !r.args.empty() && !r.args[0].empty()) {
            std::string why = r.args[0].substr(0, 200);
            for (char &c : why)
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
            error_ = "START refused: " + why;
        }
        return -1;
    }
    if (server_pid != nullptr) *server_pid = r.info;
    return 0;
}

int SqlClient::stop() {
    if (begin() != 0) return -1;
    if (conn_.send(PKT_TYPE_STOP, 0, {}) != 0) return broken(conn_.error());
    broken_ = true;  // the gateway is gone; nothing more can be asked of it
    connected_ = false;
    return 0;
}

int SqlClient::connect(std::string_view dsn, std::string_view user, std::string_view password) {
    return connect(dsn, user, password, SessionOptions{});
}

int SqlClient::connect(std::string_view dsn, std::string_view user, std::string_view password,
                       const SessionOptions &options) {
    Reply r;
    handle_ = 0;
    connected_ = false;
    // Argument 0 carries the options as words; empty asks for nothing.
    std::string_view words = options.typed       ? kTypedOption
                             : options.long_text ? kLongTextOption
                                                 : std::string_view();
    typed_ = false;
    if (call(PKT_TYPE_CONNECT, {words, user, password, dsn}, 1, &r) != 0) {
        int32_t err_handle = 0;
        if (failure_ == Failure::refused && !r.args.empty() &&
            parse_decimal(r.args[0], &err_handle) == 0)
            handle_ = err_handle;
        return -1;
    }
    handle_ = r.info;
    connected_ = true;
    unread_exec_cursors_ = 0;
    // A gateway that accepted the word names it; an older one answers two
    // arguments and sends untyped rows.
    typed_ = options.typed && r.args.size() >= 3 && has_option_word(r.args[2], kTypedOption);
    return 0;
}

int SqlClient::disconnect() {
    if (call(PKT_TYPE_DISCONNECT, {}, 0) != 0) return -1;
    unread_exec_cursors_ = 0;
    handle_ = 0;
    connected_ = false;
    typed_ = false;
    return 0;
}

int SqlClient::maperror(std::string *text) {
    if (held_diagnostic_) {
        *text = *held_diagnostic_;
        return 0;
    }
    Reply r;
    if (call(PKT_TYPE_MAPERROR, {}, 1, &r) != 0) return -1;
    *text = r.args[0];
    return 0;
}

int SqlClient::commit(int32_t *status) {
    Reply r;
    int rc = call(PKT_TYPE_COMMIT, {}, 1, &r);
    if (status != nullptr && (rc == 0 || failure_ == Failure::refused) && !r.args.empty())
        parse_decimal(r.args[0], status);
    return rc;
}

int SqlClient::rollback(int32_t *status) {
    Reply r;
    int rc = call(PKT_TYPE_ROLLBACK, {}, 1, &r);
    if (status != nullptr && (rc == 0 || failure_ == Failure::refused) && !r.args.empty())
        parse_decimal(r.args[0], status);
    return rc;
}

// --- statements and cursors ------------------------------------------------

int SqlClient::execsql(std::string_view sql, ExecResult *out) {
    Reply r;
    *out = ExecResult{};
    return take_exec_reply(r, call(PKT_TYPE_EXECSQL, {sql}, 2, &r), out);
}

int SqlClient::execsql(std::string_view sql, std::span<const ParamValue> values, ExecResult *out) {
    *out = ExecResult{};
    std::string word;
    std::vector<std::string_view> args{sql};
    add_param_args(values, &word, &args);
    Reply r;
    return take_exec_reply(r, call(PKT_TYPE_EXECSQL, args, 2, &r), out, true);
}

int SqlClient::take_exec_reply(const Reply &r, int rc, ExecResult *out, bool with_params) {
    if (rc != 0 && failure_ != Failure::refused) return -1;
    if (r.args.size() >= 2 && (parse_decimal(r.args[0], &out->status) != 0 ||
                               parse_decimal(r.args[1], &out->status2) != 0))
        return broken("non-numeric status in the reply to EXECSQL");
    if (rc != 0) return -1;
    // A typed session's answer always carries the row count.
    if (typed_ && !with_params && r.args.size() >= 4 &&
        !parse_row_count(r.args[3], &out->row_count))
        return broken("EXECSQL answered a row count that is not a number");
    if (with_params) {
        // The parameter form's answer always has four arguments; two or three
        // come from a gateway that ignored the values.
        if (r.args.size() < 4)
            return fail(
                "the gateway does not bind parameters: it ran the statement without "
                "its values");
        if (!parse_row_count(r.args[3], &out->row_count))
            return broken("EXECSQL answered a row count that is not a number");
    }
    if (r.args.size() >= 3 && !((with_params || typed_) && r.args[2].empty())) {
        std::string why;
        if (check_cursor_name(r.args[2], &why) != 0)
            return broken("EXECSQL answered a query with a bad cursor name: " + why);
        out->has_cursor = true;
        out->cursor = r.args[2];
        if (same_name(out->cursor, exec_cursor_name())) unread_exec_cursors_++;
    }
    return 0;
}

// --- queries -----------------------------------------------------------------

std::string SqlClient::exec_cursor_name() const {
    char name[kQueryCursorNameLength + 1];
    return std::string(query_cursor_name(handle_, name));
}

void SqlClient::forget_exec_cursor(std::string_view cursor) {
    if (unread_exec_cursors_ > 0 && same_name(cursor, exec_cursor_name())) unread_exec_cursors_--;
}

void SqlClient::untrack_cursors() {
    unread_exec_cursors_ = kUntracked;
}

int SqlClient::query(std::string_view sql, ExecResult *out, const HeaderFn &on_fields,
                     const HeaderFn &on_header, const RowFn &on_row) {
    return query_views(sql, out, on_fields, on_header, row_copier(on_row));
}

int SqlClient::query_views(std::string_view sql, ExecResult *out, const HeaderFn &on_fields,
                           const HeaderFn &on_header, const RowViewFn &on_row) {
    std::string_view args[] = {sql};
    return run_query(args, false, out, on_fields, on_header, on_row);
}

int SqlClient::query_views(std::string_view sql, std::span<const ParamValue> values,
                           ExecResult *out, const HeaderFn &on_fields, const HeaderFn &on_header,
                           const RowViewFn &on_row) {
    std::string word;
    std::vector<std::string_view> args{sql};
    add_param_args(values, &word, &args);
    return run_query(args, true, out, on_fields, on_header, on_row);
}

// A query of query_views: exec_args are EXECSQL's arguments, the statement
// first.
int SqlClient::run_query(std::span<const std::string_view> exec_args, bool with_params,
                         ExecResult *out, const HeaderFn &on_fields, const HeaderFn &on_header,
                         const RowViewFn &on_row) {
    *out = ExecResult{};
    // A request that goes in pieces goes alone: the first one asks the
    // gateway whether it joins pieces, which takes a round trip.
    if (!connected_ || unread_exec_cursors_ != 0 || !reads_like_query(exec_args[0]) ||
        !fits_one_frame(exec_args)) {
        Reply r;
        int rc = call(PKT_TYPE_EXECSQL, exec_args, 2, &r);
        if (take_exec_reply(r, rc, out, with_params) != 0) return -1;
        if (!out->has_cursor) return 0;
        return read_query(out->cursor, on_fields, on_header, on_row);
    }
    std::string guess = exec_cursor_name();
    if (send_pipeline(exec_args, guess, on_fields != nullptr) != 0) return -1;
    // The pipeline asks MAPERROR itself: no refusal may ask it in between.
    struct Pipelined {
        bool &flag;
        ~Pipelined() { flag = true; }
    } pipelined{auto_diagnostic_};
    auto_diagnostic_ = false;

    Reply exec, diag, list;
    if (next_reply(&exec) != 0) return -1;
    int rc = take_exec_reply(exec, check_reply(PKT_TYPE_EXECSQL, exec, 2), out, with_params);
    if (!usable()) return -1;
    Failure failure = failure_;
    int32_t status = last_status_;
    std::string error = error_;
    if (next_reply(&diag) != 0 || check_reply(PKT_TYPE_MAPERROR, diag, 1) != 0) diag.args.clear();
    std::vector<FieldDesc> fields;
    bool have_fields = false;
    if (on_fields != nullptr) {
        if (next_reply(&list) != 0) return -1;
        have_fields = check_reply(PKT_TYPE_FIELDLIST, list, 0) == 0 &&
                      parse_descs(list.args, true, &fields) == 0;
    }
    if (!usable()) return -1;

    if (rc == 0 && out->has_cursor && same_name(out->cursor, guess)) {
        failure_ = Failure::none;
        last_status_ = 0;
        error_.clear();
        bool stopped = have_fields && on_fields(fields) != 0;
        int frc = stopped ? read_row_views(nullptr, nullptr) : read_row_views(on_header, on_row);
        if (result_ended_) forget_exec_cursor(guess);
        if (stopped && usable()) return fail("stopped by the caller");
        return frc;
    }
    // The FETCHMANY found no cursor of that name (the statement failed or
    // made none): its NOK is read and the EXECSQL answer stands.
    if (read_row_views(nullptr, nullptr) != 0 && !usable()) return -1;
    failure_ = failure;
    last_status_ = status;
    error_ = error;
    if (rc != 0) {
        if (typed_)
            take_typed_error(diag);
        else if (!diag.args.empty())
            held_diagnostic_ = diag.args[0];
        return -1;
    }
    if (!out->has_cursor) return 0;
    return read_query(out->cursor, on_fields, on_header, on_row);  // a name of its own
}

int SqlClient::send_pipeline(std::span<const std::string_view> exec_args, std::string_view cursor,
                             bool with_fields) {
    conn_.hold();
    int rc = send_request(PKT_TYPE_EXECSQL, exec_args);
    if (rc == 0) rc = send_request(PKT_TYPE_MAPERROR, {});
    if (rc == 0 && with_fields) rc = send_request(PKT_TYPE_FIELDLIST, {cursor});
    if (rc == 0) rc = send_request(PKT_TYPE_FETCHMANY, {cursor});
    // All or nothing: a pipeline cut short would leave replies nobody reads.
    if (rc != 0) {
        conn_.discard();
        return -1;
    }
    if (conn_.release() != 0) return broken(conn_.error());
    return 0;
}

int SqlClient::read_query(std::string_view cursor, const HeaderFn &on_fields,
                          const HeaderFn &on_header, const RowViewFn &on_row) {
    if (on_fields != nullptr) {
        std::vector<FieldDesc> fields;
        if (fieldlist(cursor, &fields) == 0) {
            if (on_fields(fields) != 0) return fail("stopped by the caller");
        } else if (!usable()) {
            return -1;
        }
    }
    return fetchmany_views(cursor, on_header, on_row);
}

int SqlClient::outs_reply(int type, std::string_view cursor, std::string_view what) {
    std::string why;
    if (check_cursor_name(cursor, &why) != 0) return fail(std::string(what) + ": " + why);
    return call(type, {cursor}, 2);
}

int SqlClient::declare(std::string_view cursor, std::string_view sql, std::string_view mode) {
    std::string why;
    if (check_cursor_name(cursor, &why) != 0) return fail("DECLARE: " + why);
    int rc = call(PKT_TYPE_DECLARE, {cursor, sql, mode}, 2);
    // A cursor declared under the name of the session's queries would be
    // what a pipelined FETCHMANY reaches: no pipelining while it lives.
    if (rc == 0 && same_name(cursor, exec_cursor_name())) unread_exec_cursors_++;
    return rc;
}

int SqlClient::declare_with_params(std::string_view cursor, std::string_view sql) {
    std::string why;
    if (check_cursor_name(cursor, &why) != 0) return fail("DECLARE: " + why);
    int rc = call(PKT_TYPE_DECLARE, {cursor, sql, "", "PARAMS"}, 2);
    if (rc == 0 && same_name(cursor, exec_cursor_name())) unread_exec_cursors_++;
    return rc;
}

int SqlClient::open(std::string_view cursor, int32_t *rows) {
    return open(cursor, std::span<const ParamValue>(), rows);
}

int SqlClient::open(std::string_view cursor, std::span<const ParamValue> values, int32_t *rows) {
    std::string why;
    if (check_cursor_name(cursor, &why) != 0) return fail("OPEN: " + why);
    std::string word;
    std::vector<std::string_view> args{cursor};
    if (!values.empty()) add_param_args(values, &word, &args);
    Reply r;
    if (call(PKT_TYPE_OPEN, args, 2, &r) != 0) return -1;
    int32_t n = 0;
    if (parse_decimal(r.args[1], &n) != 0 || n < 0)
        return broken("OPEN answered a row count that is not a number");
    if (rows != nullptr) *rows = n;
    return 0;
}

int SqlClient::close(std::string_view cursor) {
    return outs_reply(PKT_TYPE_CLOSE, cursor, "CLOSE");
}

int SqlClient::undeclare(std::string_view cursor) {
    int rc = outs_reply(PKT_TYPE_UNDECLARE, cursor, "UNDECLARE");
    if (rc == 0) forget_exec_cursor(cursor);
    return rc;
}

int SqlClient::fetch(std::string_view cursor, Record *out, bool *end) {
    std::string why;
    if (check_cursor_name(cursor, &why) != 0) return fail("FETCH: " + why);
    if (send_request(PKT_TYPE_FETCH, {cursor}) != 0) return -1;
    return read_record(out, end);
}

int SqlClient::extended_fetch(std::string_view cursor, Scroll how, int32_t offset, Record *out,
                              bool *end) {
    std::string why;
    if (check_cursor_name(cursor, &why) != 0) return fail("EXTENDED_FETCH: " + why);
    std::string off = std::to_string(offset);
    if (send_request(PKT_TYPE_EXTENDED_FETCH, {cursor, scroll_keyword(how), off}) != 0) return -1;
    return read_record(out, end);
}

int SqlClient::fetchmany(std::string_view cursor, const HeaderFn &on_header, const RowFn &on_row) {
    return fetchmany_views(cursor, on_header, row_copier(on_row));
}

int SqlClient::fetchmany_views(std::string_view cursor, const HeaderFn &on_header,
                               const RowViewFn &on_row) {
    std::string why;
    if (check_cursor_name(cursor, &why) != 0) return fail("FETCHMANY: " + why);
    if (send_request(PKT_TYPE_FETCHMANY, {cursor}) != 0) return -1;
    int rc = read_row_views(on_header, on_row);
    // Read to its EOF (also when the caller stopped): the gateway released it.
    if (result_ended_) forget_exec_cursor(cursor);
    return rc;
}

int SqlClient::fetchmany_values(std::string_view cursor, const HeaderFn &on_header,
                                const ValueRowFn &on_row) {
    std::string why;
    if (check_cursor_name(cursor, &why) != 0) return fail("FETCHMANY: " + why);
    if (send_request(PKT_TYPE_FETCHMANY, {cursor}) != 0) return -1;
    int rc = read_value_rows(on_header, on_row);
    if (result_ended_) forget_exec_cursor(cursor);
    return rc;
}

int SqlClient::fetchmany(std::string_view cursor, std::vector<FieldDesc> *fields,
                         std::vector<Row> *rows) {
    fields->clear();
    rows->clear();
    return fetchmany(
        cursor,
        [fields](const std::vector<FieldDesc> &f) {
            *fields = f;
            return 0;
        },
        [rows](Row &&r) {
            rows->push_back(std::move(r));
            return 0;
        });
}

int SqlClient::tablelist(std::string_view cursor, const HeaderFn &on_header, const RowFn &on_row) {
    std::string why;
    if (check_cursor_name(cursor, &why) != 0) return fail("TABLELIST: " + why);
    if (send_request(PKT_TYPE_TABLELIST, {cursor}) != 0) return -1;
    return read_rows(on_header, on_row);
}

int SqlClient::tablelist(std::string_view cursor, std::vector<TableInfo> *tables) {
    tables->clear();
    return tablelist(cursor, nullptr, [tables](Row &&r) {
        if (r.size() < 3) return -1;  // no table name: not a catalogue row
        r.resize(5);
        tables->push_back(TableInfo{r[0], r[1], r[2], r[3], r[4]});
        return 0;
    });
}

int SqlClient::fieldlist(std::string_view cursor, std::vector<FieldDesc> *fields) {
    std::string why;
    fields->clear();
    if (check_cursor_name(cursor, &why) != 0) return fail("FIELDLIST: " + why);
    Reply r;
    if (call(PKT_TYPE_FIELDLIST, {cursor}, 0, &r) != 0) return -1;
    if (parse_descs(r.args, true, fields) != 0) return broken("malformed field description");
    return 0;
}

}  // namespace dqp
