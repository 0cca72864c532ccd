// Typed values. See typed_value.h.
#include "protocol/typed_value.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace dqp {

namespace {

constexpr std::array<std::string_view, 12> kTypeWords = {
    "bool",   "int",       "decimal",     "float", "date",  "time",
    "timetz", "timestamp", "timestamptz", "text",  "bytes", "other",
};

int hex_digit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// The field that ends at the next ':' from *pos; false when there is none.
bool next_field(std::string_view text, size_t *pos, std::string_view *field) {
    size_t colon = text.find(':', *pos);
    if (colon == std::string_view::npos) return false;
    *field = text.substr(*pos, colon - *pos);
    *pos = colon + 1;
    return true;
}

template <typename T>
bool read_number(std::string_view field, T *out) {
    if (field.empty()) return false;
    auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), *out);
    return ec == std::errc() && end == field.data() + field.size();
}

}  // namespace

std::string_view type_word(ValueType t) {
    return kTypeWords[static_cast<size_t>(t)];
}

int parse_type_word(std::string_view word, ValueType *t) {
    for (size_t i = 0; i < kTypeWords.size(); i++)
        if (kTypeWords[i] == word) {
            *t = static_cast<ValueType>(i);
            return 0;
        }
    return -1;
}

std::string escape_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (char ch : name) {
        if (ch == '%')
            out += "%25";
        else if (ch == ':')
            out += "%3A";
        else
            out += ch;
    }
    return out;
}

int unescape_name(std::string_view text, std::string *out) {
    out->clear();
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '%') {
            *out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return -1;
        std::string_view code = text.substr(i + 1, 2);
        if (code == "25")
            *out += '%';
        else if (code == "3A" || code == "3a")
            *out += ':';
        else
            return -1;
        i += 2;
    }
    return 0;
}

void append_hex(std::string_view bytes, std::string *out) {
    static constexpr char kDigits[] = "0123456789abcdef";
    size_t at = out->size();
    out->resize(at + 2 * bytes.size());
    char *p = out->data() + at;
    for (unsigned char b : bytes) {
        *p++ = kDigits[b >> 4];
        *p++ = kDigits[b & 0xF];
    }
}

int parse_hex_bytes(std::string_view hex, std::string *out) {
    out->clear();
    if (hex.size() % 2 != 0) return -1;
    out->reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return -1;
        *out += static_cast<char>(hi * 16 + lo);
    }
    return 0;
}

std::string float_text(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    if (ec != std::errc()) return std::to_string(v);  // cannot happen with 64 bytes
    return std::string(buf, end);
}

size_t utf8_cut(std::string_view text, size_t max) {
    if (max >= text.size()) return text.size();
    size_t end = max;
    // Back off over at most three continuation bytes to the character's start.
    for (int k = 0; k < 3 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; k++)
        end--;
    return end == 0 || (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80 ? max : end;
}

std::string format_typed_description(const TypedField &f, bool field_list) {
    std::string out = escape_name(f.name);
    char buf[160];
    if (field_list)
        snprintf(buf, sizeof buf, ":%d:%c:%d:%d:", f.width, f.letter, f.scale, f.readonly ? 1 : 0);
    else
        snprintf(buf, sizeof buf, ":%d:%c:%d:", f.width, f.letter, f.scale);
    out += buf;
    out += type_word(f.type);
    snprintf(buf, sizeof buf, ":%lld:%d:%lld:", static_cast<long long>(f.precision), f.nullable,
             static_cast<long long>(f.display));
    out += buf;
    out += escape_name(f.source);
    out += ':';
    return out;
}

int parse_typed_description(std::string_view text, bool field_list, TypedField *f, size_t *used) {
    size_t pos = 0;
    std::string_view name, width, letter, scale, readonly, type, precision, nullable, display,
        source;
    if (!next_field(text, &pos, &name) || !next_field(text, &pos, &width) ||
        !next_field(text, &pos, &letter) || !next_field(text, &pos, &scale))
        return -1;
    if (field_list && !next_field(text, &pos, &readonly)) return -1;
    if (!next_field(text, &pos, &type) || !next_field(text, &pos, &precision) ||
        !next_field(text, &pos, &nullable) || !next_field(text, &pos, &display) ||
        !next_field(text, &pos, &source))
        return -1;
    if (unescape_name(name, &f->name) != 0 || unescape_name(source, &f->source) != 0) return -1;
    if (!read_number(width, &f->width) || letter.size() != 1 || !read_number(scale, &f->scale) ||
        parse_type_word(type, &f->type) != 0 || !read_number(precision, &f->precision) ||
        !read_number(nullable, &f->nullable) || f->nullable < 0 || f->nullable > 2 ||
        !read_number(display, &f->display))
        return -1;
    f->letter = letter[0];
    f->readonly = field_list && readonly == "1";
    *used = pos;
    return 0;
}

int parse_tagged_value(std::string_view arg, TaggedValue *out) {
    if (arg.empty()) return -1;
    char tag = arg[0];
    if (tag != kWholeTag && tag != kNullTag && tag != kPieceTag) return -1;
    if (tag == kNullTag && arg.size() != 1) return -1;
    *out = {tag, arg.substr(1)};
    return 0;
}

int TypedRowAssembler::start(const std::vector<std::string_view> &tagged) {
    reset();
    values_.resize(tagged.size());
    nulls_.assign(tagged.size(), false);
    open_.assign(tagged.size(), false);
    for (size_t i = 0; i < tagged.size(); i++) {
        TaggedValue v;
        if (parse_tagged_value(tagged[i], &v) != 0)
            return fail("column " + std::to_string(i + 1) + " holds no tagged value");
        nulls_[i] = v.tag == kNullTag;
        open_[i] = v.tag == kPieceTag;
        if (v.text.size() > max_value_)
            return fail("a value is longer than " + std::to_string(max_value_) + " bytes");
        values_[i].assign(v.text);
    }
    started_ = true;
    advance();
    return 0;
}

int TypedRowAssembler::add_piece(int32_t column, std::string_view arg) {
    if (!started_) return fail("a piece of a value arrived without its row");
    if (next_ == values_.size()) return fail("a piece arrived for a row that is whole");
    if (column != static_cast<int32_t>(next_ + 1))
        return fail("a piece arrived for column " + std::to_string(column) + " where column " +
                    std::to_string(next_ + 1) + " waits");
    TaggedValue v;
    if (parse_tagged_value(arg, &v) != 0 || v.tag == kNullTag)
        return fail("a piece holds no tagged text");
    std::string &value = values_[next_];
    if (v.text.size() > max_value_ - value.size())
        return fail("a value is longer than " + std::to_string(max_value_) + " bytes");
    value.append(v.text);
    if (v.tag == kWholeTag) {
        open_[next_] = false;
        advance();
    }
    return 0;
}

void TypedRowAssembler::reset() {
    started_ = false;
    values_.clear();
    nulls_.clear();
    open_.clear();
    next_ = 0;
}

int TypedRowAssembler::fail(std::string why) {
    reset();
    error_ = std::move(why);
    return -1;
}

void TypedRowAssembler::advance() {
    while (next_ < open_.size() && !open_[next_])
        next_++;
}

}  // namespace dqp
