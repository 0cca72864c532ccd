#include "support/program_help.h"

#include <cctype>
#include <cstring>

#include "support/version.h"

namespace vnx {

namespace {

// Splits at '\n'; an empty text gives no lines.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string upper(const std::string &text) {
    std::string out = text;
    for (char &c : out)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return out;
}

// A run of text lines as roff: a blank line starts a new paragraph.
void append_roff_paragraphs(std::string *out, const std::string &text) {
    for (const std::string &line : lines_of(text))
        *out += line.empty() ? ".PP\n" : roff_escape(line) + "\n";
}

}  // namespace

std::string roff_escape(const std::string &text) {
    std::string out;
    if (!text.empty() && (text[0] == '.' || text[0] == '\'')) out = "\\&";
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    return out;
}

std::string help_text(const ProgramHelp &help) {
    std::string out;
    for (size_t i = 0; i < help.synopsis.size(); i++)
        out += (i == 0 ? "usage: " : "       ") + help.name + " " + help.synopsis[i] + "\n";
    out += help.name + ": " + help.summary + ".\n";
    if (!help.description.empty()) out += "\n" + help.description + "\n";
    for (const HelpSection &section : help.sections) {
        out += "\n" + section.title + ":\n";
        for (const HelpEntry &entry : section.entries) {
            out += "  " + entry.term + "\n";
            for (const std::string &line : lines_of(entry.text))
                out += "      " + line + "\n";
        }
    }
    return out;
}

std::string help_roff(const ProgramHelp &help) {
    std::string out = ".TH " + upper(help.name) + " " + std::to_string(help.man_section) +
                      " \"\" \"Varnex " + version_number() + "\" \"Varnex\"\n";
    out += ".SH NAME\n" + roff_escape(help.name) + " \\- " + roff_escape(help.summary) + "\n";
    out += ".SH SYNOPSIS\n.nf\n";
    for (const std::string &form : help.synopsis)
        out += "\\fB" + roff_escape(help.name) + "\\fR " + roff_escape(form) + "\n";
    out += ".fi\n";
    if (!help.description.empty()) {
        out += ".SH DESCRIPTION\n";
        append_roff_paragraphs(&out, help.description);
    }
    for (const HelpSection &section : help.sections) {
        out += ".SH " + roff_escape(upper(section.title)) + "\n";
        for (const HelpEntry &entry : section.entries) {
            out += ".TP\n\\fB" + roff_escape(entry.term) + "\\fR\n";
            for (const std::string &line : lines_of(entry.text))
                out += roff_escape(line) + "\n";
        }
    }
    return out;
}

int answer_help_argument(const ProgramHelp &help, const char *argument) {
    if (strcmp(argument, "--help") == 0) {
        fputs(help_text(help).c_str(), stdout);
        return 0;
    }
    if (strcmp(argument, "--man") == 0) {
        fputs(help_roff(help).c_str(), stdout);
        return 0;
    }
    return -1;
}

}  // namespace vnx
