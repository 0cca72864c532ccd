// _varnex: the native half of the Python module `varnex`.
//
// One Session wraps one gateway: the Connection to it, the SqlClient that
// runs SQL and cursor requests and the RecordClient of the record requests.
// Every network wait runs with the GIL released, behind the session's own
// mutex, so that other Python threads run meanwhile and two threads sharing a
// session take turns instead of interleaving requests.
//
// A query's rows are received without the GIL and turned into Python tuples
// a batch at a time while they arrive (Result), converted by the type letter
// of their field descriptions:
//   N  int; Decimal when the field has decimals; float when the text has a
//      fraction or exponent (floating-point columns); None when empty
//   D  datetime.date from YYYYMMDD; None when empty; the text when malformed
//   L  True for "T", False for "F"; None when empty
//   M  the gateway's placeholder text of a long binary column; None when
//      empty
//   T  a long character column's text (cut at 8000 bytes, ending "[...]");
//      the connection asks for it at CONNECT
//   C and any other letter: str (UTF-8, undecodable bytes replaced). The
//      protocol sends NULL as the empty text, so a NULL here is "".
// Failures are raised as the Python classes that varnex/_errors.py defines,
// chosen by the kind of failure and, for a refusal, by the data source's text.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
// clang-format off: the datetime API needs Python.h, which pybind11 includes
#include <datetime.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/connect_options.h"
#include "client/port_query.h"
#include "client/record_client.h"
#include "client/sql_client.h"
#include "protocol/packet.h"
#include "protocol/sql_lexer.h"

namespace py = pybind11;

namespace {

// ---- errors ---------------------------------------------------------------

// The exception classes of varnex._errors, looked up once at import.
struct ErrorClasses {
    py::object interface_error, database_error, data_error, operational_error, integrity_error,
        programming_error, not_supported_error;
};
ErrorClasses *g_errors = nullptr;

bool contains_any(const std::string &text, std::initializer_list<const char *> words) {
    std::string low(text);
    for (char &c : low)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char *w : words)
        if (low.find(w) != std::string::npos) return true;
    return false;
}

// The class for a request the data source (or the gateway) refused, from its
// diagnostic text: the protocol carries no SQLSTATE.
const py::object &class_for_refusal(const std::string &text) {
    // Markers without values: the gateway's count, or the driver's when a
    // statement without parameters went as written (SQLite, psqlODBC).
    if (contains_any(text, {"values were given", "more than 1000 parameter values",
                            "unbound parameters", "# of binded parameters"}))
        return g_errors->programming_error;
    if (contains_any(text, {"bytes long", "is longer than"})) return g_errors->data_error;
    if (contains_any(text, {"parameter marker", "parameters cannot", "not supported",
                            "statement of a cursor returns no rows"}))
        return g_errors->not_supported_error;
    if (contains_any(text, {"constraint", "duplicate key", "violates", "not unique"}))
        return g_errors->integrity_error;
    if (contains_any(text, {"invalid input", "out of range", "division by zero", "value too long",
                            "datatype mismatch", "numeric value", "invalid character value"}))
        return g_errors->data_error;
    if (contains_any(text,
                     {"syntax error", "no such table", "no such column", "does not exist",
                      "unknown cursor", "incomplete input", "ambiguous", "permission denied"}))
        return g_errors->programming_error;
    if (contains_any(text, {"locked", "canceling statement", "interrupted", "connection",
                            "deadlock", "timeout", "could not"}))
        return g_errors->operational_error;
    return g_errors->database_error;
}

[[noreturn]] void raise(const py::object &cls, const std::string &message) {
    PyErr_SetString(cls.ptr(), message.c_str());
    throw py::error_already_set();
}

// ---- sessions ---------------------------------------------------------------

// Outcome of one call made without the GIL, raised after it is taken back.
struct Outcome {
    int rc = 0;
    bool refused = false;
    std::string message;
};

// The TLS options of a connection: the VNX_TLS* environment variables, then
// the arguments that are not empty. Raises InterfaceError for a mode that is
// not one, or options that cannot work (a verify mode without a CA file).
dqp::TlsOptions tls_options(const std::string &mode, const std::string &rootcert,
                            const std::string &cert, const std::string &key) {
    dqp::TlsOptions tls;
    std::string err;
    if (dqp::tls_options_from_env(&tls, &err) != 0) raise(g_errors->interface_error, err);
    if (!mode.empty() && !dqp::parse_tls_mode(mode, &tls.mode))
        raise(g_errors->interface_error,
              "tlsmode must be disable, prefer, require, verify-ca or verify-full, not \"" + mode +
                  "\"");
    if (!rootcert.empty()) tls.ca_file = rootcert;
    if (!cert.empty()) tls.cert_file = cert;
    if (!key.empty()) tls.key_file = key;
    if (dqp::check_tls_options(tls, &err) != 0) raise(g_errors->interface_error, err);
    return tls;
}

class Session {
  public:
    Session(const std::string &host, int base_port, int direct_port, const std::string &dsn,
            const std::string &user, const std::string &password, int timeout_ms,
            const dqp::TlsOptions &tls);
    ~Session() { close_quietly(); }

    // Runs fn (returning 0 or -1 with the reason in the SqlClient) with the
    // GIL released and the session held; raises on failure.
    template <typename Fn>
    void run(const char *what, Fn &&fn) {
        Outcome out;
        {
            py::gil_scoped_release nogil;
            std::lock_guard<std::mutex> hold(mutex_);
            out = attempt(what, std::forward<Fn>(fn));
        }
        if (out.rc != 0) raise_outcome(out);
    }
    void check_open() const {
        if (closed_) raise(g_errors->interface_error, "the connection is closed");
    }
    void close();
    bool closed() const { return closed_; }
    dqp::SqlClient &sql() { return *sql_; }
    dqp::RecordClient &records() { return *rec_; }
    int32_t gateway_pid() const { return gateway_pid_; }

  private:
    template <typename Fn>
    Outcome attempt(const char *what, Fn &&fn) {
        Outcome out;
        if (closed_) {
            out.rc = -1;
            out.message = "the connection is closed";
            return out;
        }
        out.rc = fn();
        if (out.rc == 0) return out;
        out.refused = sql_->failure() == dqp::Failure::refused;
        std::string why = sql_->error();
        if (out.refused && sql_->usable()) {
            std::string text;
            if (sql_->maperror(&text) == 0 && !text.empty()) why = text;
        }
        out.message = std::string(what) + ": " + why;
        return out;
    }
    void raise_outcome(const Outcome &out) {
        if (closed_) raise(g_errors->interface_error, out.message);
        if (!out.refused) raise(g_errors->operational_error, out.message);
        raise(class_for_refusal(out.message), out.message);
    }
    void close_quietly();

    std::mutex mutex_;
    std::unique_ptr<dqp::Connection> conn_;
    std::unique_ptr<dqp::SqlClient> sql_;
    std::unique_ptr<dqp::RecordClient> rec_;
    int32_t gateway_pid_ = 0;
    bool closed_ = true;
};

Session::Session(const std::string &host, int base_port, int direct_port, const std::string &dsn,
                 const std::string &user, const std::string &password, int timeout_ms,
                 const dqp::TlsOptions &tls) {
    std::string err;
    bool refused = false;
    {
        py::gil_scoped_release nogil;
        dqp::ConnectOptions options;
        options.tls = tls;
        options.timeout_ms = timeout_ms;
        // Both hops as the TLS options say; under "prefer" the gateway hop
        // does what the base port did (a gateway serves one connection).
        int port = direct_port;
        bool encrypted = false;
        if (port == 0 &&
            dqp::request_server(host, base_port, "odb", &port, &err, 120000, &tls, &encrypted) != 0)
            port = -1;
        if (port > 0 && direct_port == 0 && options.tls.mode == dqp::TlsMode::Prefer)
            options.tls.mode = encrypted ? dqp::TlsMode::Require : dqp::TlsMode::Disable;
        if (port > 0) conn_ = dqp::Connection::open(host, port, options, &err);
        if (conn_ != nullptr) {
            sql_ = std::make_unique<dqp::SqlClient>(*conn_);
            rec_ = std::make_unique<dqp::RecordClient>(*sql_);
            closed_ = false;
            Outcome o =
                attempt("START", [&] { return sql_->start(user, password, &gateway_pid_); });
            if (o.rc == 0)
                o = attempt("CONNECT", [&] {
                    // Long character columns arrive as their text (type 'T').
                    dqp::SessionOptions session;
                    session.long_text = true;
                    return sql_->connect(dsn, user, password, session);
                });
            if (o.rc != 0) {
                err = o.message;
                refused = o.refused;
                close_quietly();
            }
        }
    }
    if (conn_ == nullptr || closed_) {
        if (refused) raise(class_for_refusal(err), err);
        raise(g_errors->operational_error, "cannot connect: " + err);
    }
}

// Ends the session and the gateway: DISCONNECT, then STOP. Failures are of no
// use to the caller here (the gateway ends when its connection closes anyway).
void Session::close_quietly() {
    if (closed_) return;
    closed_ = true;
    if (sql_->usable() && sql_->connected()) (void)sql_->disconnect();
    if (sql_->usable()) (void)sql_->stop();
    conn_->close();
}

void Session::close() {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> hold(mutex_);
    close_quietly();
}

// ---- results ----------------------------------------------------------------

struct Field {
    std::string name;
    char type;
    int width, decimals, readonly;
};

std::vector<Field> to_fields(const std::vector<dqp::FieldDesc> &descs) {
    std::vector<Field> out;
    out.reserve(descs.size());
    for (const dqp::FieldDesc &d : descs)
        out.push_back({d.name, d.type, d.width, d.decimals, d.readonly});
    return out;
}

py::object g_decimal;  // decimal.Decimal

// A text as str: ASCII (the usual case) copied straight into a new string,
// anything else decoded as UTF-8 with undecodable bytes replaced.
py::str decode(const char *p, size_t n) {
    bool ascii = true;
    for (size_t i = 0; i < n && ascii; i++)
        ascii = static_cast<unsigned char>(p[i]) < 0x80;
    PyObject *s = nullptr;
    if (ascii) {
        s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (s != nullptr) memcpy(PyUnicode_DATA(s), p, n);
    } else {
        s = PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), "replace");
    }
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// An integer text ("   42", "-7"); false when it is anything else.
bool parse_int(const char *p, size_t n, long long *out) {
    size_t i = 0;
    while (i < n && p[i] == ' ')
        i++;
    bool neg = i < n && p[i] == '-';
    if (i < n && (p[i] == '-' || p[i] == '+')) i++;
    if (i == n || n - i > 18) return false;
    long long v = 0;
    for (; i < n; i++) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    *out = neg ? -v : v;
    return true;
}

py::object number_value(const char *p, size_t n, int decimals) {
    long long v = 0;
    if (decimals == 0 && parse_int(p, n, &v))
        return py::reinterpret_steal<py::object>(PyLong_FromLongLong(v));
    size_t i = 0;
    while (i < n && p[i] == ' ')
        i++;
    std::string text(p + i, n - i);
    if (decimals > 0) return g_decimal(py::str(text));
    if (text.find_first_of(".eEnN") != std::string::npos) {
        PyObject *f = PyFloat_FromString(py::str(text).ptr());
        if (f != nullptr) return py::reinterpret_steal<py::object>(f);
        PyErr_Clear();
        return py::str(text);
    }
    // Long integers (19 digits and more) and anything unexpected.
    PyObject *l = PyLong_FromString(text.c_str(), nullptr, 10);
    if (l != nullptr) return py::reinterpret_steal<py::object>(l);
    PyErr_Clear();
    return py::str(text);
}

py::object date_value(const char *p, size_t n) {
    if (n == 8 && std::all_of(p, p + 8, [](char c) { return c >= '0' && c <= '9'; })) {
        auto num = [&](int at, int len) {
            int v = 0;
            for (int i = at; i < at + len; i++)
                v = v * 10 + (p[i] - '0');
            return v;
        };
        int y = num(0, 4), m = num(4, 2), d = num(6, 2);
        PyObject *date = PyDate_FromDate(y, m, d);
        if (date != nullptr) return py::reinterpret_steal<py::object>(date);
        PyErr_Clear();  // out of range (year 0, month 13): handed over as text
    }
    return decode(p, n);
}

// One value in its Python form (see the top of the file).
py::object convert(const Field &f, const char *p, size_t n) {
    switch (f.type) {
        case 'N':
            if (n == 0) return py::none();
            return number_value(p, n, f.decimals);
        case 'D':
            if (n == 0) return py::none();
            return date_value(p, n);
        case 'L':
            if (n == 0) return py::none();
            if (n == 1 && p[0] == 'T') return py::bool_(true);
            if (n == 1 && p[0] == 'F') return py::bool_(false);
            return decode(p, n);
        case 'M':
            if (n == 0) return py::none();
            return decode(p, n);
        default:
            return decode(p, n);
    }
}

// Takes a row tuple out of the cycle collector's care when none of its
// values can hold a reference (numbers, texts, dates, None): no cycle can run
// through it. The collector would find that out itself, but only by visiting
// each of a large result's tuples once more in a collection that its own
// allocations set off; a million rows cost about a tenth of their conversion
// so.
void untrack_if_atomic(PyObject *t) {
    Py_ssize_t n = PyTuple_GET_SIZE(t);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *v = PyTuple_GET_ITEM(t, i);
        if (PyObject_IS_GC(v) && PyObject_GC_IsTracked(v)) return;
    }
    PyObject_GC_UnTrack(t);
}

// The rows of one query, converted to tuples while they arrive. The client
// library hands rows over without the GIL; they are gathered as texts into a
// batch (one arena, reused) and turned into tuples a batch at a time with the
// GIL taken, so that converting overlaps with the gateway producing the next
// rows and the GIL is taken once per batch, not once per row.
class Result {
  public:
    // Rows gathered before the GIL is taken to convert them: about one or
    // two METADATA frames of narrow rows.
    static constexpr size_t kBatchRows = 512;

    std::vector<Field> fields;
    bool has_fields = false;
    int64_t row_count = -1;  // rows a statement without result changed; -1 unknown

    // Appends one row to the batch (no GIL needed); converts the batch once
    // it is full, taking the GIL. False when converting failed (out of
    // memory): the caller stops the result.
    bool add_row(std::span<const std::string_view> values) {
        for (std::string_view v : values) {
            arena_.append(v.data(), v.size());
            ends_.push_back(arena_.size());
        }
        if (++batch_rows_ < kBatchRows) return true;
        py::gil_scoped_acquire gil;
        return convert_batch();
    }
    // Converts what the batch still holds; the GIL must be held. False when
    // converting failed (the Python error is set).
    bool finish() {
        if (failed_) {
            PyErr_NoMemory();
            return false;
        }
        if (!convert_batch()) {
            PyErr_NoMemory();
            return false;
        }
        std::string().swap(arena_);
        std::vector<size_t>().swap(ends_);
        return true;
    }
    size_t rows() const { return static_cast<size_t>(PyList_GET_SIZE(rows_.ptr())) + dropped_; }
    size_t position() const { return next_; }

    // Up to n rows (n < 0: every remaining one) from the current position, as
    // a list of tuples. Taking every row at once hands over the list itself.
    py::list fetch(long long n) {
        Py_ssize_t at = static_cast<Py_ssize_t>(next_ - dropped_);
        Py_ssize_t left = PyList_GET_SIZE(rows_.ptr()) - at;
        Py_ssize_t take = n < 0 || n > left ? left : static_cast<Py_ssize_t>(n);
        py::list out;
        if (at == 0 && take == left) {
            out = std::move(rows_);
        } else {
            out = py::reinterpret_steal<py::list>(PyList_GetSlice(rows_.ptr(), at, at + take));
            if (!out) throw py::error_already_set();
        }
        next_ += static_cast<size_t>(take);
        if (take == left) {  // every row taken: the rows are the caller's alone
            dropped_ = next_;
            rows_ = py::list();
        }
        return out;
    }

  private:
    // Turns the batch into tuples appended to rows_; the GIL must be held.
    bool convert_batch() {
        size_t width = fields.size();
        try {
            for (size_t r = 0; r < batch_rows_; r++) {
                PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(width));
                if (t == nullptr) throw py::error_already_set();
                py::object tuple = py::reinterpret_steal<py::object>(t);
                size_t first = r * width;
                for (size_t c = 0; c < width; c++) {
                    size_t begin = first + c == 0 ? 0 : ends_[first + c - 1];
                    py::object v =
                        convert(fields[c], arena_.data() + begin, ends_[first + c] - begin);
                    PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(c), v.release().ptr());
                }
                untrack_if_atomic(t);
                if (PyList_Append(rows_.ptr(), t) != 0) throw py::error_already_set();
            }
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("varnex: converting a row");
            failed_ = true;
        }
        arena_.clear();
        ends_.clear();
        batch_rows_ = 0;
        return !failed_;
    }

    py::list rows_;  // converted rows not yet fetched
    std::string arena_;
    std::vector<size_t> ends_;  // end of each value in arena_, row after row
    size_t batch_rows_ = 0, next_ = 0;
    size_t dropped_ = 0;  // rows fetched and no longer in rows_
    bool failed_ = false;
};

py::list describe(const std::vector<Field> &fields) {
    py::list out;
    for (const Field &f : fields)
        out.append(py::make_tuple(f.name, std::string(1, f.type), f.width, f.readonly, f.decimals));
    return out;
}

// Handlers that collect a result's fields and rows into *res. The callbacks
// run without the GIL and touch nothing of Python's.
struct Collector {
    Result *res;
    dqp::HeaderFn on_fields() {
        return [this](const std::vector<dqp::FieldDesc> &d) {
            res->fields = to_fields(d);
            res->has_fields = true;
            return 0;
        };
    }
    dqp::HeaderFn on_header() {
        return [this](const std::vector<dqp::FieldDesc> &d) {
            if (!res->has_fields) {
                res->fields = to_fields(d);
                res->has_fields = true;
            }
            return 0;
        };
    }
    dqp::RowViewFn on_row() {
        return [this](std::span<const std::string_view> values) {
            if (values.size() != res->fields.size()) return 1;
            return res->add_row(values) ? 0 : 1;
        };
    }
};

// Runs a statement without parameters. A query's rows land in the returned
// Result; a statement without a result gives a Result without fields.
std::unique_ptr<Result> execute(Session &s, const std::string &sql) {
    s.check_open();
    auto res = std::make_unique<Result>();
    Collector col{res.get()};
    dqp::ExecResult er;
    s.run("execute", [&] {
        return s.sql().query_views(sql, &er, col.on_fields(), col.on_header(), col.on_row());
    });
    if (!res->finish()) throw py::error_already_set();
    return res;
}

// Runs any statement with its markers bound to `values` by the gateway
// (EXECSQL with parameters; never pasted into the text): None is NULL. A
// query's rows land in the Result; a statement without result leaves the
// rows it changed in row_count.
std::unique_ptr<Result> execute_params(Session &s, const std::string &sql,
                                       const std::vector<std::optional<std::string>> &values) {
    s.check_open();
    std::vector<dqp::ParamValue> params;
    params.reserve(values.size());
    for (const std::optional<std::string> &v : values)
        params.push_back(v ? dqp::ParamValue{*v, false} : dqp::ParamValue{{}, true});
    auto res = std::make_unique<Result>();
    Collector col{res.get()};
    dqp::ExecResult er;
    s.run("execute", [&] {
        return s.sql().query_views(sql, params, &er, col.on_fields(), col.on_header(),
                                   col.on_row());
    });
    if (!res->finish()) throw py::error_already_set();
    res->row_count = er.row_count;
    return res;
}

// ---- record access ----------------------------------------------------------

py::tuple record_tuple(const dqp::Record &r) {
    py::tuple values(r.values.size());
    py::list fields;
    for (size_t i = 0; i < r.values.size() && i < r.fields.size(); i++) {
        const dqp::FieldDesc &d = r.fields[i];
        Field f{d.name, d.type, d.width, d.decimals, d.readonly};
        values[i] = convert(f, r.values[i].data(), r.values[i].size());
        fields.append(
            py::make_tuple(d.name, std::string(1, d.type), d.width, d.readonly, d.decimals));
    }
    return py::make_tuple(fields, values);
}

void bind_records(py::class_<Session> &cls) {
    cls.def("use",
            [](Session &s, const std::string &table, const std::string &alias, bool shared,
               bool readonly, const std::string &filter, const std::string &order) {
                s.check_open();
                dqp::UseOptions opt{shared, readonly, filter, order};
                int32_t n = 0;
                s.run("USE", [&] { return s.records().use(table, alias, opt, &n); });
                return n;
            })
        .def("unuse",
             [](Session &s, const std::string &alias) {
                 s.check_open();
                 s.run("UNUSE", [&] { return s.records().unuse(alias); });
             })
        .def("count",
             [](Session &s, const std::string &alias) {
                 s.check_open();
                 int32_t n = 0;
                 s.run("COUNT", [&] { return s.records().count(alias, &n); });
                 return n;
             })
        .def("read",
             [](Session &s, const std::string &alias, int32_t recno, bool lock) -> py::object {
                 s.check_open();
                 dqp::Record r;
                 bool end = false;
                 s.run("READ", [&] { return s.records().read(alias, recno, lock, &r, &end); });
                 if (end) return py::none();
                 return record_tuple(r);
             })
        .def("update",
             [](Session &s, const std::string &alias, int32_t recno,
                const std::vector<std::string> &values) {
                 s.check_open();
                 s.run("UPDATE", [&] { return s.records().update(alias, recno, values); });
             })
        .def("insert",
             [](Session &s, const std::string &alias, const std::vector<std::string> &values) {
                 s.check_open();
                 int32_t recno = 0;
                 s.run("INSERT", [&] { return s.records().insert(alias, values, &recno); });
                 return recno;
             })
        .def("delete",
             [](Session &s, const std::string &alias, int32_t recno) {
                 s.check_open();
                 s.run("DELETE", [&] { return s.records().remove(alias, recno); });
             })
        .def(
            "find",
            [](Session &s, const std::string &alias, const std::string &table,
               const std::string &key, const std::string &value, bool exact, bool lock, char type) {
                s.check_open();
                dqp::FindOptions opt{exact, lock, type};
                int32_t recno = 0;
                s.run("FIND",
                      [&] { return s.records().find(alias, table, key, value, opt, &recno); });
                return recno;
            })
        .def("lock",
             [](Session &s, const std::string &alias, int32_t recno) {
                 s.check_open();
                 s.run("LOCK", [&] { return s.records().lock(alias, recno); });
             })
        .def("unlock",
             [](Session &s, const std::string &alias) {
                 s.check_open();
                 s.run("UNLOCK", [&] { return s.records().unlock(alias); });
             })
        .def("islocked", [](Session &s, const std::string &alias, int32_t recno) {
            s.check_open();
            int32_t answer = 0;
            s.run("ISLOCKED", [&] { return s.records().islocked(alias, recno, &answer); });
            return answer;
        });
}

}  // namespace

PYBIND11_MODULE(_varnex, m) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) throw py::error_already_set();
    py::module_ errors = py::module_::import("varnex._errors");
    g_errors = new ErrorClasses{errors.attr("InterfaceError"),   errors.attr("DatabaseError"),
                                errors.attr("DataError"),        errors.attr("OperationalError"),
                                errors.attr("IntegrityError"),   errors.attr("ProgrammingError"),
                                errors.attr("NotSupportedError")};
    g_decimal = py::module_::import("decimal").attr("Decimal");

    py::class_<Result>(m, "Result")
        .def_property_readonly("description",
                               [](const Result &r) -> py::object {
                                   if (!r.has_fields) return py::none();
                                   return describe(r.fields);
                               })
        .def_property_readonly("rows", &Result::rows)
        .def_property_readonly("position", &Result::position)
        .def_readonly("row_count", &Result::row_count)
        .def("fetch", &Result::fetch, py::arg("n") = -1);

    py::class_<Session> session(m, "Session");
    session
        .def(py::init([](const std::string &host, int base_port, int direct_port,
                         const std::string &dsn, const std::string &user,
                         const std::string &password, int timeout_ms, const std::string &tlsmode,
                         const std::string &tlsrootcert, const std::string &tlscert,
                         const std::string &tlskey) {
                 return std::make_unique<Session>(
                     host, base_port, direct_port, dsn, user, password, timeout_ms,
                     tls_options(tlsmode, tlsrootcert, tlscert, tlskey));
             }),
             py::arg("host"), py::arg("base_port"), py::arg("direct_port"), py::arg("dsn"),
             py::arg("user"), py::arg("password"), py::arg("timeout_ms"), py::arg("tlsmode") = "",
             py::arg("tlsrootcert") = "", py::arg("tlscert") = "", py::arg("tlskey") = "")
        .def("execute", &execute)
        .def("execute_params", &execute_params)
        .def("commit",
             [](Session &s) {
                 s.check_open();
                 s.run("COMMIT", [&] { return s.sql().commit(); });
             })
        .def("rollback",
             [](Session &s) {
                 s.check_open();
                 s.run("ROLLBACK", [&] { return s.sql().rollback(); });
             })
        .def("close", &Session::close)
        .def_property_readonly("closed", &Session::closed)
        .def_property_readonly("gateway_pid", &Session::gateway_pid);
    bind_records(session);

    // The statement as sent with parameters (each `??` outside quotes and
    // comments as `?`) and its number of `?` markers (protocol/sql_lexer.h).
    m.def("scan_markers", [](std::string_view sql) {
        dqp::MarkerScan scan = dqp::scan_markers(sql);
        return py::make_tuple(scan.markers.size(), py::str(scan.text));
    });
}
