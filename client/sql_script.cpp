// Reading SQL scripts and shell command lines. See sql_script.h.
#include "client/sql_script.h"

#include <cctype>

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
    for (size_t i = 0; i < line.size(); i++) {
        bool skip = false;
        step(line[i], i + 1 < line.size() ? line[i + 1] : '\0', &skip);
        if (skip) i++;
    }
    if (state_ == State::line_comment) state_ = State::plain;
    if (state_ != State::block_comment) current_ += '\n';
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
