// Typed values: the pieces of the typed row format that the gateway writes
// and clients read, kept in one place so that both ends agree.
//
// A client that puts kTypedOption among the words of CONNECT's argument 0
// gets every value as it is stored. Each value in a row starts with a tag:
// kWholeTag (the whole value follows), kNullTag (NULL: the value is exactly
// the tag) or kPieceTag (the first piece of a value whose further pieces
// follow in PIECE packets, the last one tagged kWholeTag). A field
// description adds, after the four (rows) or five (field list) fields of the
// untyped form, TYPE:PRECISION:NULLABLE:DISPLAY:SOURCE: with NAME and SOURCE
// escaped (escape_name) so that every ':' in a description is a separator.
// Values of type "bytes" travel as lower-case hexadecimal digits, floats as
// the shortest text that reads back to the same double. Everything here is
// pure: no I/O, and every parser refuses bad input with -1 rather than guess.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/value_type.h"

namespace dqp {

inline constexpr std::string_view kTypedOption = "TYPED";

inline constexpr char kWholeTag = '=';
inline constexpr char kNullTag = '-';
inline constexpr char kPieceTag = '+';

// "bool", "int", ... as sent; parse_type_word is its inverse (-1 for a word
// it does not know).
std::string_view type_word(ValueType t);
int parse_type_word(std::string_view word, ValueType *t);

// '%' as "%25" and ':' as "%3A"; every other byte as it is.
std::string escape_name(std::string_view name);
// The inverse; -1 for a '%' not followed by "25" or "3A" (either case).
int unescape_name(std::string_view text, std::string *out);

// Two lower-case hexadecimal digits a byte, appended to out.
void append_hex(std::string_view bytes, std::string *out);
// The inverse (either case); -1 for an odd length or a non-digit.
int parse_hex_bytes(std::string_view hex, std::string *out);

// The shortest text that reads back to the same double: "1.5", "1e+300",
// "inf", "-inf", "nan".
std::string float_text(double v);

// The longest length <= max at which text can be cut without splitting a
// UTF-8 character (a cut before a continuation byte moves back). Bytes that
// are not UTF-8 at all are cut where max says, never at 0 when max > 0.
size_t utf8_cut(std::string_view text, size_t max);

// The typed form of a column's description.
struct TypedField {
    std::string name;
    int width = 0;
    char letter = 'C';
    int scale = 0;
    bool readonly = false;  // field list only
    ValueType type = ValueType::Other;
    int64_t precision = 0;
    int nullable = 2;  // 0 no NULLs, 1 nullable, 2 unknown
    int64_t display = -1;
    std::string source;  // the data source's type name
};

// "NAME:WIDTH:LETTER:SCALE:" (with "READONLY:" when field_list) followed by
// "TYPE:PRECISION:NULLABLE:DISPLAY:SOURCE:".
std::string format_typed_description(const TypedField &f, bool field_list);
// Reads one description from the start of text; *used is its length (in a
// self-describing row the tagged value follows). -1 for malformed text.
int parse_typed_description(std::string_view text, bool field_list, TypedField *f, size_t *used);

// A tagged value split into its tag and text. -1 for an empty argument, an
// unknown tag, or a NULL tag followed by anything.
struct TaggedValue {
    char tag;
    std::string_view text;
};
int parse_tagged_value(std::string_view arg, TaggedValue *out);

// Reassembles the values of one typed row from its DATA packet and the
// PIECE packets that follow it. Hostile input gets -1 and a reason in
// error(), never a crash: a piece without a row, a piece for a column that
// is not the next one waiting, a piece after the row is whole, a value over
// max_value bytes (a total that never ends), a malformed tag.
class TypedRowAssembler {
  public:
    explicit TypedRowAssembler(size_t max_value) : max_value_(max_value) {}

    // Starts a row from its tagged values (descriptions already removed).
    int start(const std::vector<std::string_view> &tagged);
    // Adds a PIECE packet's info (column 1, 2, ...) and argument.
    int add_piece(int32_t column, std::string_view arg);
    // True when a row has started and none of its values waits for pieces.
    bool whole() const { return started_ && next_ == values_.size(); }
    // The row's values (meaningful once whole) and their NULL flags.
    const std::vector<std::string> &values() const { return values_; }
    const std::vector<bool> &nulls() const { return nulls_; }
    const std::string &error() const { return error_; }
    // Forgets the row (after it was taken, or after an error).
    void reset();

  private:
    int fail(std::string why);
    void advance();

    size_t max_value_;
    bool started_ = false;
    std::vector<std::string> values_;
    std::vector<bool> nulls_, open_;
    size_t next_ = 0;  // the first column still waiting for pieces
    std::string error_;
};

}  // namespace dqp
