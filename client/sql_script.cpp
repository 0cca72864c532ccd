// Reading SQL scripts and shell command lines. See sql_script.h.
#include "client/sql_script.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>

namespace dqp {

std::string trim(std::string_view text) {
    const char *blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return std::string();
    size_t last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

void StatementSplitter::end_statement() {
    std::string s = trim(current_);
    current_.clear();
    if (!s.empty()) done_.push_back(std::move(s));
}

// One character in the current state. next is the character after it on the
// line (0 at the end), for the two-character comment marks.
void StatementSplitter::step(char c, char next, bool *skip_next) {
    switch (state_) {
        case State::plain:
            if (c == ';') return end_statement();
            if (c == '-' && next == '-') {
                state_ = State::line_comment;
                *skip_next = true;
                return;
            }
            if (c == '/' && next == '*') {
                state_ = State::block_comment;
                *skip_next = true;
                current_ += ' ';  // a comment still separates words
                return;
            }
            if (c == '\'') state_ = State::single;
            if (c == '"') state_ = State::dquote;
            current_ += c;
            return;
        case State::single:
        case State::dquote:
            // A doubled quote closes and reopens at once: no special case needed.
            if (c == (state_ == State::single ? '\'' : '"')) state_ = State::plain;
            current_ += c;
            return;
        case State::line_comment:
            return;
        case State::block_comment:
            if (c == '*' && next == '/') {
                state_ = State::plain;
                *skip_next = true;
            }
            return;
    }
}

void StatementSplitter::feed(std::string_view line) {
    (void)feed(line, nullptr);
}

void StatementSplitter::end_line() {
    if (state_ == State::line_comment) state_ = State::plain;
    if (state_ != State::block_comment) current_ += '\n';
}

size_t StatementSplitter::feed(std::string_view line, const VarLookup &vars) {
    for (size_t i = 0; i < line.size(); i++) {
        if (state_ == State::plain && vars != nullptr) {
            if (line[i] == '\\') {
                end_line();
                return i;
            }
            if (size_t n = interpolate_at(line, i, vars, &current_); n > 0) {
                i += n - 1;
                continue;
            }
        }
        bool skip = false;
        step(line[i], i + 1 < line.size() ? line[i + 1] : '\0', &skip);
        if (skip) i++;
    }
    end_line();
    return std::string_view::npos;
}

namespace {

bool name_char(char c) {
    return isalnum(static_cast<unsigned char>(c)) || c == '_' || (c & 0x80) != 0;
}

void append_quoted(std::string *out, const std::string &value, char quote) {
    *out += quote;
    for (char c : value) {
        if (c == quote) *out += quote;
        *out += c;
    }
    *out += quote;
}

}  // namespace

size_t interpolate_at(std::string_view text, size_t i, const VarLookup &vars, std::string *out) {
    if (vars == nullptr || text[i] != ':' || i + 1 >= text.size()) return 0;
    if ((i > 0 && text[i - 1] == ':') || text[i + 1] == ':') return 0;
    char quote = text[i + 1] == '\'' || text[i + 1] == '"' ? text[i + 1] : 0;
    size_t start = i + 1 + (quote != 0 ? 1 : 0), end = start;
    while (end < text.size() && name_char(text[end]))
        end++;
    if (end == start || (quote != 0 && (end >= text.size() || text[end] != quote))) return 0;
    const std::string *value = vars(text.substr(start, end - start));
    if (value == nullptr) return 0;
    if (quote != 0)
        append_quoted(out, *value, quote);
    else
        *out += *value;
    return end - i + (quote != 0 ? 1 : 0);
}

std::string interpolate(std::string_view text, const VarLookup &vars) {
    std::string out;
    char quote = 0;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (quote == 0 && c == ':') {
            if (size_t n = interpolate_at(text, i, vars, &out); n > 0) {
                i += n - 1;
                continue;
            }
        }
        if (quote == 0 && (c == '\'' || c == '"'))
            quote = c;
        else if (c == quote)
            quote = 0;
        out += c;
    }
    return out;
}

bool StatementSplitter::next(std::string *statement) {
    if (done_.empty()) return false;
    *statement = std::move(done_.front());
    done_.pop_front();
    return true;
}

bool StatementSplitter::pending() const {
    return state_ != State::plain || !trim(current_).empty();
}

std::string StatementSplitter::take_rest() {
    std::string s = trim(current_);
    current_.clear();
    state_ = State::plain;
    return s;
}

int split_words(std::string_view line, std::vector<std::string> *words, std::string *why) {
    return split_words(line, words, why, nullptr);
}

int split_words(std::string_view line, std::vector<std::string> *words, std::string *why,
                const VarLookup &vars) {
    words->clear();
    std::string word;
    bool in_word = false;
    char quote = 0;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (quote != 0) {
            if (c != quote) {
                word += c;
            } else if (i + 1 < line.size() && line[i + 1] == quote) {
                word += c;
                i++;
            } else {
                quote = 0;
            }
        } else if (size_t n = c == ':' ? interpolate_at(line, i, vars, &word) : 0; n > 0) {
            in_word = true;
            i += n - 1;
        } else if (c == ' ' || c == '\t') {
            if (in_word) words->push_back(std::move(word));
            word.clear();
            in_word = false;
        } else {
            in_word = true;
            if (c == '\'' || c == '"')
                quote = c;
            else
                word += c;
        }
    }
    if (quote != 0) {
        *why = std::string("unterminated quote ") + quote;
        return -1;
    }
    if (in_word) words->push_back(std::move(word));
    return 0;
}

}  // namespace dqp

namespace dqp {

namespace {

// The statement's words, upper-cased, up to `limit` of them.
std::vector<std::string> leading_words(std::string_view text, size_t limit) {
    std::vector<std::string> words;
    size_t i = 0;
    while (words.size() < limit) {
        while (i < text.size() && isspace(static_cast<unsigned char>(text[i])))
            i++;
        if (i == text.size()) break;
        std::string w;
        for (; i < text.size() && !isspace(static_cast<unsigned char>(text[i])); i++)
            w += static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
        words.push_back(std::move(w));
    }
    return words;
}

bool only_noise(const std::vector<std::string> &w) {
    return w.size() == 1 || (w.size() == 2 && (w[1] == "WORK" || w[1] == "TRANSACTION"));
}

}  // namespace

TxControl classify_transaction(std::string_view statement) {
    std::vector<std::string> w = leading_words(statement, 3);
    if (w.empty()) return TxControl::none;
    if (w[0] == "START")
        return w.size() >= 2 && w[1] == "TRANSACTION" ? TxControl::begin : TxControl::none;
    if (!only_noise(w)) return TxControl::none;
    if (w[0] == "BEGIN") return TxControl::begin;
    if (w[0] == "COMMIT" || w[0] == "END") return TxControl::commit;
    if (w[0] == "ROLLBACK" || w[0] == "ABORT") return TxControl::rollback;
    return TxControl::none;
}

}  // namespace dqp

namespace dqp {

namespace {

struct Outline {
    std::vector<std::string> words;  // upper-cased words outside parentheses
    bool marker = false;             // a "?" outside quotes and comments
};

// The statement's words at parenthesis depth 0 (a parenthesised part counts
// as the one word "("), skipping quoted texts and comments.
Outline outline(std::string_view s) {
    Outline o;
    int depth = 0;
    std::string word;
    auto end_word = [&] {
        if (!word.empty()) o.words.push_back(std::move(word));
        word.clear();
    };
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (c == '\'' || c == '"') {
            end_word();
            size_t close = s.find(c, i + 1);
            i = close == std::string_view::npos ? s.size() : close;
        } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
            end_word();
            size_t nl = s.find('\n', i);
            i = nl == std::string_view::npos ? s.size() : nl;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            end_word();
            size_t close = s.find("*/", i + 2);
            i = close == std::string_view::npos ? s.size() : close + 1;
        } else if (c == '(' || c == ')') {
            end_word();
            if (c == '(' && depth++ == 0) o.words.push_back("(");
            if (c == ')' && depth > 0) depth--;
        } else if (c == '?') {
            o.marker = true;
        } else if (isalnum(static_cast<unsigned char>(c)) || c == '_') {
            if (depth == 0) word += static_cast<char>(toupper(static_cast<unsigned char>(c)));
        } else {
            end_word();
        }
    }
    end_word();
    return o;
}

bool is_one_of(const std::string &w, std::initializer_list<const char *> set) {
    for (const char *x : set)
        if (w == x) return true;
    return false;
}

// The verb whose tag a statement takes: WITH ... INSERT takes INSERT's.
std::string main_verb(const std::vector<std::string> &w) {
    if (w.empty()) return "";
    if (w[0] != "WITH") return w[0];
    for (const std::string &x : w)
        if (is_one_of(x, {"INSERT", "UPDATE", "DELETE", "MERGE", "SELECT"})) return x;
    return w[0];
}

// CREATE [modifiers] TABLE [IF NOT EXISTS] name [(...)] AS ...
bool creates_table_as(const std::vector<std::string> &w) {
    size_t i = 1;
    while (i < w.size() && w[i] != "TABLE")
        i++;
    for (i++; i < w.size() && is_one_of(w[i], {"IF", "NOT", "EXISTS"}); i++) {
    }
    for (i++; i < w.size() && w[i] == "("; i++) {
    }
    return i < w.size() && w[i] == "AS";
}

// CREATE, DROP and ALTER name what they act on: the object's kind, past
// modifiers such as OR REPLACE, TEMPORARY or UNIQUE.
std::string object_tag(const std::vector<std::string> &w) {
    std::string tag = w[0];
    size_t i = 1;
    while (i < w.size() && is_one_of(w[i], {"OR", "REPLACE", "TEMP", "TEMPORARY", "UNLOGGED",
                                            "UNIQUE", "GLOBAL", "LOCAL", "RECURSIVE"}))
        i++;
    if (i >= w.size()) return tag;
    tag += " " + w[i];
    if (is_one_of(w[i], {"MATERIALIZED", "FOREIGN", "EVENT"}) && i + 1 < w.size())
        tag += " " + w[i + 1];
    return tag;
}

}  // namespace

std::string command_tag(std::string_view statement, int64_t rows) {
    std::vector<std::string> w = outline(statement).words;
    std::string verb = main_verb(w);
    if (verb.empty()) return "";
    std::string count = rows < 0 ? "" : " " + std::to_string(rows);
    if (verb == "INSERT") return rows < 0 ? verb : verb + " 0" + count;
    if (is_one_of(verb, {"UPDATE", "DELETE", "MERGE", "SELECT"})) return verb + count;
    if (verb == "CREATE" && creates_table_as(w)) return "SELECT" + count;
    if (is_one_of(verb, {"CREATE", "DROP", "ALTER"})) return object_tag(w);
    if (verb == "TRUNCATE") return "TRUNCATE TABLE";
    return verb;
}

bool tag_counts_rows(std::string_view statement) {
    Outline o = outline(statement);
    std::string verb = main_verb(o.words);
    if (o.marker) return false;
    // A SELECT counts only when it stores its rows (SELECT INTO); a query
    // prints its rows and their footer instead.
    if (verb == "SELECT") return std::find(o.words.begin(), o.words.end(), "INTO") != o.words.end();
    return is_one_of(verb, {"INSERT", "UPDATE", "DELETE", "MERGE"}) ||
           (verb == "CREATE" && creates_table_as(o.words));
}

}  // namespace dqp
