// Turning query results into text. See result_format.h.
#include "client/result_format.h"

#include <algorithm>

#include "client/sql_script.h"

namespace dqp {

namespace {

bool is_control(unsigned char c) {
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

}  // namespace

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

std::string csv_line(const std::vector<std::string> &fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); i++) {
        if (i > 0) out += ',';
        out += csv_field(fields[i]);
    }
    return out + "\n";
}

size_t display_width(std::string_view text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) n++;
    return n;
}

std::string display_value(std::string_view value, char type) {
    if (type == 'N') {
        size_t first = value.find_first_not_of(' ');
        value = first == std::string_view::npos ? std::string_view() : value.substr(first);
    }
    std::string out(value);
    for (char &c : out)
        if (is_control(static_cast<unsigned char>(c))) c = '?';
    return out;
}

std::string rows_footer(size_t n) {
    std::string footer = "(";
    footer.append(std::to_string(n)).append(n == 1 ? " row)" : " rows)");
    return footer;
}

TableFormat::TableFormat(const std::vector<FieldDesc> &fields) {
    for (const FieldDesc &f : fields) {
        names_.push_back(display_value(f.name, 'C'));
        types_.push_back(f.type);
        widths_.push_back(display_width(names_.back()));
    }
}

void TableFormat::measure(const Row &row) {
    for (size_t i = 0; i < row.size() && i < widths_.size(); i++)
        widths_[i] = std::max(widths_[i], display_width(display_value(row[i], types_[i])));
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
    std::string out;
    for (size_t i = 0; i < widths_.size(); i++) {
        std::string v = i < row.size() ? display_value(row[i], types_[i]) : std::string();
        out += (i > 0 ? "| " : " ") + pad(v, widths_[i], types_[i] == 'N') + " ";
    }
    trim_right(&out);
    return out + "\n";
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

void ResultPrinter::csv_header() {
    std::vector<std::string> names;
    for (const FieldDesc &f : fields_)
        names.push_back(f.name);
    out_(csv_line(names));
    started_ = true;
}

void ResultPrinter::start_aligned() {
    format_ = std::make_unique<TableFormat>(fields_);
    for (const Row &r : batch_)
        format_->measure(r);
    out_(format_->header());
    out_(format_->rule());
    for (const Row &r : batch_)
        out_(format_->line(r));
    batch_.clear();
    batch_.shrink_to_fit();
    started_ = true;
}

int ResultPrinter::on_row(Row &&row) {
    rows_++;
    if (!started_ && fields_.size() < row.size()) ensure_fields(row.size());
    if (csv_) {
        if (!started_) csv_header();
        // Numbers lose the blanks the gateway right-aligns them with.
        for (size_t i = 0; i < row.size() && i < fields_.size(); i++)
            if (fields_[i].type == 'N') row[i] = trim(row[i]);
        out_(csv_line(row));
        return 0;
    }
    if (started_) {
        out_(format_->line(row));
        return 0;
    }
    batch_.push_back(std::move(row));
    if (batch_.size() >= kWidthBatch) start_aligned();
    return 0;
}

void ResultPrinter::finish() {
    if (csv_) {
        if (!started_ && !fields_.empty()) csv_header();
        return;
    }
    if (!started_ && !fields_.empty()) start_aligned();
    out_(rows_footer(rows_) + "\n\n");
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
