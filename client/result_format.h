// Turning query results into text for people and for programs.
//
// ResultPrinter receives a result as SqlClient streams it (field descriptions,
// then rows one at a time) and writes it to an output function either as an
// aligned table with the field names as headings and a "(N rows)" footer, or
// as CSV. A result is never held whole: the aligned form measures its column
// widths on the first batch of rows (kWidthBatch), prints that batch, and
// prints every later row at once with the same widths (a longer value then
// widens its own line only). Records print as forms of "name: value" lines.
//
// Values print as a user writes them, not as the row format carries them:
// numbers (N) without the blanks that pad them to their width, dates (D) as
// ISO dates (20200131 becomes 2020-01-31), logicals (L) as psql's t and f.
// The row format sends NULL as the empty text; for numbers, dates, logicals
// and long texts (N, D, L, M) no value is empty, so there an empty text is
// NULL and prints as PrintOptions::null_text. A character value cannot be
// told from NULL.
//
// Values come from the wire: control characters in them are shown as '?' in
// the aligned and form outputs so that no result can drive the terminal. CSV
// and the unaligned form pass them through, quoted (CSV) where needed. A line
// break in the aligned table continues the value on the next line as psql
// does ("+" after the column of each line the value goes on from); widths
// count East Asian wide characters as two columns.
//
// Output is gathered into one buffer and handed to the output function in
// large pieces (and whenever the first batch of an aligned table is out), so
// a result costs a write per some 64 KB, not one per value.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/sql_client.h"

namespace dqp {

// Rows measured before the aligned table's widths are fixed.
inline constexpr size_t kWidthBatch = 1000;

using OutputFn = std::function<void(std::string_view)>;

enum class OutputFormat { aligned, unaligned, csv };

struct PrintOptions {
    OutputFormat format = OutputFormat::aligned;
    bool expanded = false;        // one "name | value" block per row (\x)
    bool tuples_only = false;     // rows alone: no headings, no footer (-t)
    std::string field_sep = "|";  // between values of the unaligned form (-F)
    std::string null_text;        // how a value known to be NULL prints
};

// One CSV field: quoted (with inner quotes doubled) when it holds a comma, a
// quote, a line break or leading or trailing blanks; otherwise as it is.
std::string csv_field(std::string_view value);
// A CSV line of the fields, ended by "\n".
std::string csv_line(const std::vector<std::string> &fields);
// Columns a text takes on the screen: a UTF-8 character counts as wcwidth
// says (East Asian wide characters two, combining marks none).
size_t display_width(std::string_view text);
// The width of the widest line of a text.
size_t lines_width(std::string_view text);
// The value as the aligned output shows it: control characters as '?', and
// the user's form of numbers, dates and logicals (above).
std::string display_value(std::string_view value, char type);
// Appends the user's form of a value (above) to *out; control characters
// become '?' when `sanitise`. A NULL (empty N, D, L or M) appends null_text.
void append_value(std::string *out, std::string_view value, char type, bool sanitise,
                  std::string_view null_text = {});
// True when an empty value of this type letter can only be NULL.
bool empty_is_null(char type);
// "(1 row)" or "(N rows)".
std::string rows_footer(size_t n);

// The aligned table's layout: headings, widths and alignment per column.
class TableFormat {
  public:
    explicit TableFormat(const std::vector<FieldDesc> &fields, std::string null_text = {});
    // Widens columns to fit the row (values as display_value shows them).
    void measure(const Row &row);
    std::string header() const;
    std::string rule() const;
    std::string line(const Row &row) const;
    // Appends the row's line to *out without a temporary per value.
    void append_line(std::string *out, std::span<const std::string_view> row) const;
    // Appends the row as an expanded record (\x) numbered n.
    void append_record(std::string *out, std::span<const std::string_view> row, size_t n) const;
    size_t columns() const { return names_.size(); }

  private:
    void append_lines(std::string *out, std::span<const std::string_view> row) const;
    std::vector<std::string> names_;
    std::vector<char> types_;
    std::vector<size_t> widths_;
    std::string null_;
    size_t name_width_ = 0;
};

class ResultPrinter {
  public:
    ResultPrinter(OutputFn out, bool csv);
    ResultPrinter(OutputFn out, PrintOptions opt) : out_(std::move(out)), opt_(std::move(opt)) {}
    ~ResultPrinter();
    ResultPrinter(const ResultPrinter &) = delete;
    ResultPrinter &operator=(const ResultPrinter &) = delete;
    // Field descriptions known before the rows (from a field list).
    void set_fields(const std::vector<FieldDesc> &fields);
    // The result's own header: used when no fields were set before.
    int on_header(const std::vector<FieldDesc> &fields);
    int on_row(Row &&row);
    // The same from views valid only during the call (no copy once the
    // aligned widths are fixed).
    int on_row_view(std::span<const std::string_view> row);
    // Prints what is still buffered and the footer.
    void finish();
    size_t rows() const { return rows_; }

  private:
    void start_aligned();
    void start_plain();
    void ensure_fields(size_t n);
    void emit_row(std::span<const std::string_view> row);
    void flush_if_full();
    void flush();

    OutputFn out_;
    PrintOptions opt_;
    std::vector<FieldDesc> fields_;
    std::vector<Row> batch_;
    std::unique_ptr<TableFormat> format_;
    bool started_ = false;
    size_t rows_ = 0;
    std::string buf_;
    std::vector<std::string_view> views_;
};

// A data source's error text as one "ERROR:  ..." line shows it: without an
// "ERROR:" of its own in front (the shell adds one) and without psqlODBC's
// trailing ";\nError while executing the query"-style remark about the call.
std::string error_message_text(std::string_view text);

// A record as a form: one "name: value" line per field, names padded to the
// longest.
std::string format_record(const Record &rec);

}  // namespace dqp
