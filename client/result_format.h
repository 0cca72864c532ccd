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
// Values come from the wire: control characters in them are shown as '?' in
// the aligned and form outputs so that no result can drive the terminal. CSV
// passes values through unchanged, quoted where needed, except that numbers
// lose the blanks the gateway aligns them with.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/sql_client.h"

namespace dqp {

// Rows measured before the aligned table's widths are fixed.
inline constexpr size_t kWidthBatch = 1000;

using OutputFn = std::function<void(std::string_view)>;

// One CSV field: quoted (with inner quotes doubled) when it holds a comma, a
// quote, a line break or leading or trailing blanks; otherwise as it is.
std::string csv_field(std::string_view value);
// A CSV line of the fields, ended by "\n".
std::string csv_line(const std::vector<std::string> &fields);
// Characters a value takes on the screen (UTF-8 sequences count once).
size_t display_width(std::string_view text);
// The value as the aligned output shows it: control characters as '?', and
// numbers (type N) without the blanks the gateway aligns them with.
std::string display_value(std::string_view value, char type);
// "(1 row)" or "(N rows)".
std::string rows_footer(size_t n);

// The aligned table's layout: headings, widths and alignment per column.
class TableFormat {
  public:
    explicit TableFormat(const std::vector<FieldDesc> &fields);
    // Widens columns to fit the row (values as display_value shows them).
    void measure(const Row &row);
    std::string header() const;
    std::string rule() const;
    std::string line(const Row &row) const;
    size_t columns() const { return names_.size(); }

  private:
    std::vector<std::string> names_;
    std::vector<char> types_;
    std::vector<size_t> widths_;
};

class ResultPrinter {
  public:
    ResultPrinter(OutputFn out, bool csv) : out_(std::move(out)), csv_(csv) {}
    // Field descriptions known before the rows (from a field list).
    void set_fields(const std::vector<FieldDesc> &fields);
    // The result's own header: used when no fields were set before.
    int on_header(const std::vector<FieldDesc> &fields);
    int on_row(Row &&row);
    // Prints what is still buffered and the footer.
    void finish();
    size_t rows() const { return rows_; }

  private:
    void start_aligned();
    void csv_header();
    void ensure_fields(size_t n);

    OutputFn out_;
    bool csv_;
    std::vector<FieldDesc> fields_;
    std::vector<Row> batch_;
    std::unique_ptr<TableFormat> format_;
    bool started_ = false;
    size_t rows_ = 0;
};

// A record as a form: one "name: value" line per field, names padded to the
// longest.
std::string format_record(const Record &rec);

}  // namespace dqp
