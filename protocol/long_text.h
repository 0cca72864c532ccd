// Long character values sent inline in rows, for clients that ask.
//
// Without asking, a client receives a long character column (SQL_LONGVARCHAR
// and its wide form) as the letter 'M', width 4, and the placeholder text
// "Bitmap image" in every non-null row; MEMO reads the text. A client that
// puts the word kLongTextOption among the blank-separated words of CONNECT's
// argument 0 (where older clients send "" or a server type name, which the
// gateway ignores) gets such columns of its queries and declared cursors as
// the letter kLongTextType with width kLongTextMax, and each value as its
// text: whole when it fits, otherwise cut at a UTF-8 character boundary and
// ended with kLongTextCut, so that no value is longer than kLongTextMax bytes
// and a row always fits one reply packet (several long values of one row
// share the room a packet leaves). MEMO still reads the whole text. A NULL
// value is the empty text, as for other character columns; the text is sent
// as stored, trailing blanks included, up to a NUL byte (which cannot travel;
// the value then counts as cut). Records read with READ and binary long
// columns keep the placeholder.
#pragma once

#include <cstddef>
#include <string_view>

namespace dqp {

inline constexpr std::string_view kLongTextOption = "LONGTEXT";
inline constexpr char kLongTextType = 'T';
inline constexpr size_t kLongTextMax = 8000;
inline constexpr std::string_view kLongTextCut = "[...]";

// True when `word` is one of the blank-separated words of `text`, compared
// exactly, as the protocol's keywords are.
inline bool has_option_word(std::string_view text, std::string_view word) {
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ')
            i++;
        size_t end = text.find(' ', i);
        if (end == std::string_view::npos) end = text.size();
        if (end > i && text.substr(i, end - i) == word) return true;
        i = end;
    }
    return false;
}

}  // namespace dqp
