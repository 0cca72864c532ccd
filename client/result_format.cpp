// Turning query results into text. See result_format.h.
#include "client/result_format.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>

#include "client/sql_script.h"

namespace dqp {

namespace {

// Output is handed on once the buffer holds this much.
constexpr size_t kFlushAt = 64 * 1024;

constexpr bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

std::string pad(std::string_view text, size_t width, bool right) {
    size_t w = display_width(text);
    std::string fill(w < width ? width - w : 0, ' ');
    return right ? fill + std::string(text) : std::string(text) + fill;
}

std::string centre(std::string_view text, size_t width) {
    size_t w = display_width(text);
    if (w >= width) return std::string(text);
    size_t left = (width - w) / 2;
    return std::string(left, ' ') + std::string(text) + std::string(width - w - left, ' ');
}

void trim_right(std::string *s) {
    while (!s->empty() && s->back() == ' ')
        s->pop_back();
}

bool all_digits(std::string_view v) {
    for (char c : v)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string_view strip_blanks(std::string_view v) {
    size_t first = v.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return v.substr(first, v.find_last_not_of(' ') - first + 1);
}

// What a byte adds to the screen: a character of its own, the rest of a
// UTF-8 sequence (nothing), a control character (shown as '?'), or the
// start of a UTF-8 sequence (a character of one or two columns, or none).
enum : unsigned char { kPrintable = 0, kContinuation = 1, kControl = 2, kLead = 4 };

constexpr std::array<unsigned char, 256> byte_kinds() {
    std::array<unsigned char, 256> k{};
    for (unsigned c = 0; c < 256; c++)
        k[c] = is_control(static_cast<unsigned char>(c)) ? kControl
               : (c & 0xC0) == 0x80                      ? kContinuation
               : c >= 0xC0                               ? kLead
                                                         : kPrintable;
    return k;
}

constexpr std::array<unsigned char, 256> kByteKind = byte_kinds();

// Appends the text with control characters as '?'.
void append_shown(std::string *out, std::string_view v) {
    size_t at = out->size();
    out->append(v);
    for (size_t i = at; i < out->size(); i++)
        if (kByteKind[static_cast<unsigned char>((*out)[i])] == kControl) (*out)[i] = '?';
}

bool is_shown_as_mark(char ch) {
    return kByteKind[static_cast<unsigned char>(ch)] == kControl;
}

// The screen width of a wire text and whether it holds control characters,
// in one pass.
size_t shown_width(std::string_view v, bool *control) {
    size_t w = 0;
    unsigned char seen = 0;
    for (char ch : v) {
        unsigned char k = kByteKind[static_cast<unsigned char>(ch)];
        w += k != kContinuation;
        seen |= k;
    }
    *control = (seen & kControl) != 0;
    // Characters beyond ASCII may be wide or take no column at all.
    return (seen & kLead) != 0 ? display_width(v) : w;
}

void append_sanitised(std::string *out, std::string_view v, bool sanitise) {
    if (sanitise)
        append_shown(out, v);
    else
        out->append(v);
}

// The user's form of a value (see the header): a view of the value itself
// (`wire` true: it may hold control characters), of the null text, or of
// `date`, where a row-format date is rewritten as an ISO date.
struct UserForm {
    std::string_view text;
    bool wire = false;
};

UserForm user_form(std::string_view value, char type, std::string_view null_text,
                   char (&date)[10]) {
    if (type == 'N' || type == 'D' || type == 'L') value = strip_blanks(value);
    if (value.empty()) return {empty_is_null(type) ? null_text : std::string_view(), false};
    if (type == 'D' && value.size() == 8 && all_digits(value)) {
        std::memcpy(date, value.data(), 4);
        date[4] = '-';
        std::memcpy(date + 5, value.data() + 4, 2);
        date[7] = '-';
        std::memcpy(date + 8, value.data() + 6, 2);
        return {std::string_view(date, 10), false};
    }
    if (type == 'L' && value.size() == 1 && (value[0] == 'T' || value[0] == 'F'))
        return {value[0] == 'T' ? "t" : "f", false};
    return {value, true};
}

}  // namespace

bool empty_is_null(char type) {
    return type == 'N' || type == 'D' || type == 'L' || type == 'M';
}

void append_value(std::string *out, std::string_view value, char type, bool sanitise,
                  std::string_view null_text) {
    char date[10];
    UserForm f = user_form(value, type, null_text, date);
    if (f.wire)
        append_sanitised(out, f.text, sanitise);
    else
        out->append(f.text);
}

std::string csv_field(std::string_view value) {
    bool quote = !value.empty() && (value.front() == ' ' || value.back() == ' ');
    for (char c : value)
        if (c == ',' || c == '"' || c == '\n' || c == '\r') quote = true;
    if (!quote) return std::string(value);
    std::string out = "\"";
    for (char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

namespace {

// Appends a CSV field, quoted in place when it needs quotes.
void append_csv(std::string *out, std::string_view value) {
    bool quote = !value.empty() && (value.front() == ' ' || value.back() == ' ');
    for (char c : value)
        if (c == ',' || c == '"' || c == '\n' || c == '\r') {
            quote = true;
            break;
        }
    if (!quote) {
        out->append(value);
        return;
    }
    out->push_back('"');
    for (size_t q; (q = value.find('"')) != std::string_view::npos;) {
        out->append(value.substr(0, q + 1)).push_back('"');
        value.remove_prefix(q + 1);
    }
    out->append(value).push_back('"');
}

}  // namespace

std::string csv_line(const std::vector<std::string> &fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); i++) {
        if (i > 0) out += ',';
        out += csv_field(fields[i]);
    }
    return out + "\n";
}

namespace {

struct Range {
    char32_t first, last;
};

// East Asian wide and fullwidth characters: two columns.
constexpr Range kWide[] = {{0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},
                           {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
                           {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},
                           {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
                           {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};
// Combining marks and zero-width characters: no column.
constexpr Range kZero[] = {
    {0x0300, 0x036F}, {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}};

bool in_ranges(char32_t cp, std::span<const Range> ranges) {
    for (const Range &r : ranges)
        if (cp >= r.first && cp <= r.last) return true;
    return false;
}

// Columns one character takes: wcwidth's answer in the user's locale; where
// the locale cannot tell (a locale that is not UTF-8), the tables above.
int char_width(char32_t cp) {
    int w = wcwidth(static_cast<wchar_t>(cp));
    if (w >= 0) return w;
    if (in_ranges(cp, kZero)) return 0;
    return in_ranges(cp, kWide) ? 2 : 1;
}

// Decodes the UTF-8 sequence at text[*i] and moves past it; a byte that
// starts no valid sequence stands for itself.
char32_t next_char(std::string_view text, size_t *i) {
    unsigned char c = static_cast<unsigned char>(text[*i]);
    size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    char32_t cp = len == 1 ? c : c & (0xFF >> (len + 1));
    if (*i + len > text.size()) len = 1;
    for (size_t k = 1; k < len; k++) {
        unsigned char b = static_cast<unsigned char>(text[*i + k]);
        if ((b & 0xC0) != 0x80) {
            len = 1;
            cp = c;
            break;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    *i += len;
    return cp;
}

}  // namespace

size_t display_width(std::string_view text) {
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            n++;
            i++;
        } else {
            n += static_cast<size_t>(char_width(next_char(text, &i)));
        }
    }
    return n;
}

size_t lines_width(std::string_view text) {
    size_t widest = 0;
    for (size_t start = 0;;) {
        size_t end = text.find('\n', start);
        widest = std::max(widest, display_width(text.substr(start, end - start)));
        if (end == std::string_view::npos) return widest;
        start = end + 1;
    }
}

std::string display_value(std::string_view value, char type) {
    std::string out;
    append_value(&out, value, type, true);
    return out;
}

std::string rows_footer(size_t n) {
    std::string footer = "(";
    footer.append(std::to_string(n)).append(n == 1 ? " row)" : " rows)");
    return footer;
}

TableFormat::TableFormat(const std::vector<FieldDesc> &fields, std::string null_text)
    : null_(std::move(null_text)) {
    for (const FieldDesc &f : fields) {
        names_.push_back(display_value(f.name, 'C'));
        types_.push_back(f.type);
        widths_.push_back(display_width(names_.back()));
        name_width_ = std::max(name_width_, widths_.back());
    }
}

void TableFormat::measure(const Row &row) {
    for (size_t i = 0; i < row.size() && i < widths_.size(); i++) {
        char date[10];
        UserForm f = user_form(row[i], types_[i], null_, date);
        widths_[i] = std::max(widths_[i], lines_width(f.text));
    }
}

std::string TableFormat::header() const {
    std::string out;
    for (size_t i = 0; i < names_.size(); i++)
        out += (i > 0 ? "| " : " ") + centre(names_[i], widths_[i]) + " ";
    trim_right(&out);
    return out + "\n";
}

std::string TableFormat::rule() const {
    std::string out;
    for (size_t i = 0; i < widths_.size(); i++)
        out.append(i > 0 ? "+" : "").append(widths_[i] + 2, '-');
    return out + "\n";
}

std::string TableFormat::line(const Row &row) const {
    std::vector<std::string_view> views(row.begin(), row.end());
    std::string out;
    append_line(&out, views);
    return out;
}

// One pass per value: its user form is a view (no copy), its width is
// counted from that view (a control character shown as '?' is as wide as
// itself), and the padding goes before (numbers) or after it. The line is
// written through a pointer into room reserved for its longest possible
// form. The last column gets no padding after it: the line's trailing
// blanks are dropped.
void TableFormat::append_line(std::string *out, std::span<const std::string_view> row) const {
    for (std::string_view v : row)
        if (v.find('\n') != std::string_view::npos) return append_lines(out, row);
    size_t n = widths_.size();
    size_t room = 1;
    for (size_t i = 0; i < n; i++) {
        size_t len = i < row.size() ? row[i].size() : 0;
        room += 3 + std::max({widths_[i], len, null_.size(), size_t{10}});
    }
    size_t at = out->size();
    out->resize(at + room);
    char *const line = out->data() + at;
    char *p = line;
    for (size_t i = 0; i < n; i++) {
        if (i > 0) *p++ = '|';
        *p++ = ' ';
        char date[10];
        UserForm f =
            user_form(i < row.size() ? row[i] : std::string_view(), types_[i], null_, date);
        bool control = false;
        size_t w = f.wire ? shown_width(f.text, &control) : display_width(f.text);
        size_t fill = w < widths_[i] ? widths_[i] - w : 0;
        bool right = types_[i] == 'N';
        if (right) p = std::fill_n(p, fill, ' ');
        char *value = p;
        p = std::copy(f.text.begin(), f.text.end(), p);
        if (control) std::replace_if(value, p, is_shown_as_mark, '?');
        if (!right && i + 1 < n) p = std::fill_n(p, fill, ' ');
        *p++ = ' ';
    }
    while (p > line && p[-1] == ' ')
        p--;
    *p++ = '\n';
    out->resize(at + static_cast<size_t>(p - line));
}

// A row with a line break in a value: psql's continuation lines. Each value
// is cut at its line breaks; a line that the value continues after ends
// with "+" in place of the blank after the column.
void TableFormat::append_lines(std::string *out, std::span<const std::string_view> row) const {
    size_t n = widths_.size();
    std::vector<std::vector<std::string_view>> parts(n);
    size_t height = 1;
    std::vector<std::string> dates(n, std::string(10, ' '));
    for (size_t i = 0; i < n; i++) {
        char date[10];
        UserForm f =
            user_form(i < row.size() ? row[i] : std::string_view(), types_[i], null_, date);
        if (!f.wire) {
            dates[i].assign(f.text);  // f.text may point into date
            f.text = dates[i];
        }
        for (size_t start = 0;;) {
            size_t end = f.text.find('\n', start);
            parts[i].push_back(f.text.substr(start, end - start));
            if (end == std::string_view::npos) break;
            start = end + 1;
        }
        height = std::max(height, parts[i].size());
    }
    for (size_t k = 0; k < height; k++) {
        std::string line;
        for (size_t i = 0; i < n; i++) {
            std::string_view text = k < parts[i].size() ? parts[i][k] : std::string_view();
            size_t w = display_width(text);
            size_t fill = w < widths_[i] ? widths_[i] - w : 0;
            bool right = types_[i] == 'N';
            line += i > 0 ? "|" : "";
            line += ' ';
            if (right) line.append(fill, ' ');
            append_shown(&line, text);
            if (!right) line.append(fill, ' ');
            line += k + 1 < parts[i].size() ? '+' : ' ';
        }
        trim_right(&line);
        out->append(line).push_back('\n');
    }
}

void TableFormat::append_record(std::string *out, std::span<const std::string_view> row,
                                size_t n) const {
    size_t value_width = 0;
    for (size_t i = 0; i < widths_.size(); i++)
        value_width = std::max(value_width, widths_[i]);
    std::string head = "-[ RECORD " + std::to_string(n) + " ]";
    size_t total = name_width_ + 3 + value_width;
    out->append(head);
    if (total > head.size()) out->append(total - head.size(), '-');
    out->push_back('\n');
    for (size_t i = 0; i < names_.size(); i++) {
        out->append(pad(names_[i], name_width_, false)).append(" | ");
        append_value(out, i < row.size() ? row[i] : std::string_view(), types_[i], true, null_);
        while (!out->empty() && out->back() == ' ')
            out->pop_back();
        out->push_back('\n');
    }
}

ResultPrinter::ResultPrinter(OutputFn out, bool csv) : out_(std::move(out)) {
    if (csv) opt_.format = OutputFormat::csv;
}

ResultPrinter::~ResultPrinter() {
    flush();
}

void ResultPrinter::set_fields(const std::vector<FieldDesc> &fields) {
    fields_ = fields;
}

int ResultPrinter::on_header(const std::vector<FieldDesc> &fields) {
    if (fields_.empty()) fields_ = fields;
    return 0;
}

// Rows without a header get numbered headings.
void ResultPrinter::ensure_fields(size_t n) {
    for (size_t i = fields_.size(); i < n; i++) {
        FieldDesc f;
        f.name = "column" + std::to_string(i + 1);
        fields_.push_back(f);
    }
}

void ResultPrinter::flush() {
    if (!buf_.empty()) out_(buf_);
    buf_.clear();
}

void ResultPrinter::flush_if_full() {
    if (buf_.size() >= kFlushAt) flush();
}

// The unaligned and CSV forms: the heading line (unless tuples only).
void ResultPrinter::start_plain() {
    started_ = true;
    if (opt_.tuples_only || opt_.expanded) return;
    bool csv = opt_.format == OutputFormat::csv;
    for (size_t i = 0; i < fields_.size(); i++) {
        if (i > 0) buf_.append(csv ? "," : opt_.field_sep);
        if (csv)
            append_csv(&buf_, fields_[i].name);
        else
            buf_.append(fields_[i].name);
    }
    buf_.push_back('\n');
}

void ResultPrinter::start_aligned() {
    format_ = std::make_unique<TableFormat>(fields_, opt_.null_text);
    for (const Row &r : batch_)
        format_->measure(r);
    if (!opt_.tuples_only && !opt_.expanded) {
        buf_.append(format_->header());
        buf_.append(format_->rule());
    }
    started_ = true;
    size_t n = rows_ - batch_.size();
    for (const Row &r : batch_) {
        views_.assign(r.begin(), r.end());
        if (opt_.expanded)
            format_->append_record(&buf_, views_, ++n);
        else
            format_->append_line(&buf_, views_);
    }
    batch_.clear();
    batch_.shrink_to_fit();
    flush();  // the first screenful shows before the rest of a long result
}

void ResultPrinter::emit_row(std::span<const std::string_view> row) {
    switch (opt_.format) {
        case OutputFormat::aligned:
            if (opt_.expanded)
                format_->append_record(&buf_, row, rows_);
            else
                format_->append_line(&buf_, row);
            break;
        case OutputFormat::csv:
            for (size_t i = 0; i < row.size(); i++) {
                if (i > 0) buf_.push_back(',');
                char t = i < fields_.size() ? fields_[i].type : 'C';
                if (t == 'C' || t == 'M' || t == 'T') {
                    append_csv(&buf_, row[i]);
                } else {
                    // Numbers, dates and logicals never need quotes, and CSV
                    // passes control characters through.
                    char date[10];
                    buf_.append(user_form(row[i], t, opt_.null_text, date).text);
                }
            }
            buf_.push_back('\n');
            break;
        case OutputFormat::unaligned:
            if (opt_.expanded && rows_ > 1) buf_.push_back('\n');
            for (size_t i = 0; i < row.size(); i++) {
                char t = i < fields_.size() ? fields_[i].type : 'C';
                if (opt_.expanded)
                    buf_.append(fields_[i].name).append(opt_.field_sep);
                else if (i > 0)
                    buf_.append(opt_.field_sep);
                append_value(&buf_, row[i], t, false, opt_.null_text);
                if (opt_.expanded) buf_.push_back('\n');
            }
            if (!opt_.expanded) buf_.push_back('\n');
            break;
    }
    flush_if_full();
}

int ResultPrinter::on_row_view(std::span<const std::string_view> row) {
    rows_++;
    if (!started_ && fields_.size() < row.size()) ensure_fields(row.size());
    if (opt_.format != OutputFormat::aligned) {
        if (!started_) start_plain();
        emit_row(row);
        return 0;
    }
    if (started_) {
        emit_row(row);
        return 0;
    }
    batch_.emplace_back(row.begin(), row.end());
    if (batch_.size() >= kWidthBatch) start_aligned();
    return 0;
}

int ResultPrinter::on_row(Row &&row) {
    views_.assign(row.begin(), row.end());
    std::vector<std::string_view> v;
    v.swap(views_);
    int rc = on_row_view(v);
    v.swap(views_);
    return rc;
}

void ResultPrinter::finish() {
    if (opt_.format != OutputFormat::aligned) {
        if (!started_ && !fields_.empty()) start_plain();
        if (opt_.format == OutputFormat::unaligned && !opt_.tuples_only && !opt_.expanded)
            buf_.append(rows_footer(rows_)).append("\n");
        flush();
        return;
    }
    if (!started_ && !fields_.empty()) start_aligned();
    if (!opt_.tuples_only) {
        if (!opt_.expanded)
            buf_.append(rows_footer(rows_)).append("\n\n");
        else if (rows_ == 0)
            buf_.append("(0 rows)\n\n");
        else
            buf_.append("\n");
    }
    flush();
}

std::string error_message_text(std::string_view text) {
    static const char *const kCallRemarks[] = {
        ";\nError while executing the query",
        ";\nError while preparing parameters",
        ";\nNo query has been executed with that handle",
    };
    std::string t = trim(text);
    for (const char *remark : kCallRemarks) {
        std::string_view r(remark);
        if (t.size() > r.size() && t.compare(t.size() - r.size(), r.size(), r) == 0)
            t.resize(t.size() - r.size());
    }
    if (t.rfind("ERROR:", 0) == 0) t = trim(std::string_view(t).substr(6));
    return t;
}

std::string format_record(const Record &rec) {
    size_t width = 0;
    for (const FieldDesc &f : rec.fields)
        width = std::max(width, display_width(display_value(f.name, 'C')));
    std::string out;
    for (size_t i = 0; i < rec.fields.size(); i++) {
        std::string name = display_value(rec.fields[i].name, 'C') + ":";
        std::string v = i < rec.values.size() ? display_value(rec.values[i], rec.fields[i].type)
                                              : std::string();
        out += pad(name, width + 1, false) + " " + v;
        trim_right(&out);
        out += "\n";
    }
    return out;
}

}  // namespace dqp
