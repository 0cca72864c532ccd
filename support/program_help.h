// What a program takes, as one table: its synopsis, description, options,
// environment, files and exit codes. The program's --help prints the table
// as text and its --man prints it as a roff manual page; the build writes the
// installed man pages with --man, so --help and the man page cannot disagree.
//
// Nothing here reads the environment or the configuration store. Texts are
// plain: the roff renderer escapes what roff would take as markup.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vnx {

// One item of a section: an option, command, variable, file or exit code,
// and what it means. Lines of `text` are separated by '\n'.
struct HelpEntry {
    std::string term;
    std::string text;
};

// A titled list ("Options", "Environment", "Files", "Exit status"...).
struct HelpSection {
    std::string title;
    std::vector<HelpEntry> entries;
};

struct ProgramHelp {
    std::string name;                   // "db_dqpserver"
    int man_section = 1;                // 1 user commands, 8 administration
    std::string summary;                // one line: what the program is
    std::vector<std::string> synopsis;  // argument forms, without the name
    std::string description;            // paragraphs separated by a blank line
    std::vector<HelpSection> sections;
};

// The --help text: "usage:" lines, the description, then each section with
// its entries (term on a line, its text indented below).
std::string help_text(const ProgramHelp &help);

// The man page in roff (man macros): NAME, SYNOPSIS, DESCRIPTION, then each
// section under its title in capitals. The version goes into the footer.
std::string help_roff(const ProgramHelp &help);

// Escapes `text` for roff: backslashes, hyphens and a leading "." or "'".
std::string roff_escape(const std::string &text);

// Answers "--help" (text to stdout) and "--man" (roff to stdout) when
// `argument` is one of them: returns 0 then, -1 for any other argument.
int answer_help_argument(const ProgramHelp &help, const char *argument);

}  // namespace vnx
