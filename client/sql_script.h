// Reading SQL scripts and shell command lines.
//
// StatementSplitter cuts input, fed one line at a time, into statements that
// end with ";". A ";" inside a quoted text ('...' or "..."), a "--" comment or
// a /* */ comment does not end a statement; comments are dropped, quoted texts
// pass unchanged. split_words cuts a shell command line into words at blanks,
// where quotes group blanks into a word. Neither touches the network; both
// only read the text they are given.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dqp {

// A shell variable's value, or null when it is not set.
using VarLookup = std::function<const std::string *(std::string_view name)>;

// Replaces a variable reference that starts at text[i] (a ":"): :NAME by the
// value, :'NAME' by the value as an SQL literal, :"NAME" as an identifier
// (inner quotes doubled). Appends the replacement to *out and returns the
// characters it stands for; 0 when there is none there: no such form, an
// unset variable (which stays as typed), or "::" (a cast).
size_t interpolate_at(std::string_view text, size_t i, const VarLookup &vars, std::string *out);
// A shell command line with its variables replaced outside quotes.
std::string interpolate(std::string_view text, const VarLookup &vars);

class StatementSplitter {
  public:
    // Adds one line of input (without its line end).
    void feed(std::string_view line);
    // The same, replacing variables outside quotes and comments
    // (interpolate_at), and stopping at a backslash outside them: the line
    // from there on is a shell command, and its position is returned
    // (npos when the whole line was SQL).
    size_t feed(std::string_view line, const VarLookup &vars);
    // The next complete statement without its ";" and outer blanks; false when
    // none is complete.
    bool next(std::string *statement);
    // True while a statement has begun but not ended (or a quote or comment
    // is open).
    bool pending() const;
    // The unfinished statement (blanks trimmed), which is then dropped.
    std::string take_rest();

  private:
    enum class State { plain, single, dquote, line_comment, block_comment };
    void step(char c, char next, bool *skip_next);
    void end_statement();
    void end_line();

    State state_ = State::plain;
    std::string current_;
    std::deque<std::string> done_;
};

// Splits a command line into words. Blanks separate words; '...' and "..."
// keep blanks (and the other quote) inside a word, a doubled quote inside
// quotes stands for the quote itself, and quotes may sit inside a word
// (name='New York' is one word: name=New York). 0, or -1 with *why when a
// quote is left open.
int split_words(std::string_view line, std::vector<std::string> *words, std::string *why);

// The same, replacing variables outside quotes (interpolate_at, below) as
// psql does in command arguments: the value joins the word as it is, its
// quotes are not read again.
int split_words(std::string_view line, std::vector<std::string> *words, std::string *why,
                const VarLookup &vars);

// Trims blanks, tabs and line ends from both ends.
std::string trim(std::string_view text);

}  // namespace dqp

namespace dqp {

// What a statement does to the transaction, judged from its first words.
enum class TxControl {
    none,      // any other statement
    begin,     // BEGIN [WORK|TRANSACTION], START TRANSACTION ...
    commit,    // COMMIT [WORK|TRANSACTION], END [WORK|TRANSACTION]
    rollback,  // ROLLBACK [WORK|TRANSACTION], ABORT [WORK|TRANSACTION]
};

// Classifies a statement (without its ";") by its leading words, in any case.
// Only whole-transaction forms count: ROLLBACK TO SAVEPOINT, COMMIT PREPARED,
// BEGIN followed by anything but WORK or TRANSACTION (a procedural block) are
// ordinary statements. It reads the text alone, so it cannot see transaction
// control that happens inside the data source: a procedure or DO block that
// commits, a statement that commits implicitly (DDL on MariaDB), a SET
// AUTOCOMMIT, or several statements sent as one text.
TxControl classify_transaction(std::string_view statement);

}  // namespace dqp

namespace dqp {

// The command tag psql prints after a statement that makes no result, built
// from the statement's leading keywords and the rows it changed: "INSERT 0 3",
// "UPDATE 2", "DELETE 1", "SELECT 5" (SELECT INTO, CREATE TABLE AS),
// "CREATE TABLE", "DROP INDEX", "TRUNCATE TABLE", else the first keyword
// ("GRANT", "SET"). rows < 0 (the data source could not tell) leaves the
// count out ("UPDATE"). Empty for an empty statement.
std::string command_tag(std::string_view statement, int64_t rows);
// True when the statement's tag carries a row count (above) and its text
// holds no "?" outside quotes and comments, so that it can run as a
// statement with no parameter values, the form whose answer counts rows.
bool tag_counts_rows(std::string_view statement);

}  // namespace dqp
