// The --help text and the roff man page rendered from one program table.
#include "support/program_help.h"

#include <gtest/gtest.h>

namespace {

vnx::ProgramHelp sample() {
    vnx::ProgramHelp h;
    h.name = "tool";
    h.man_section = 8;
    h.summary = "does one thing";
    h.synopsis = {"[--flag] FILE", "--version | --help"};
    h.description = "First paragraph,\nsecond line.\n\n.starts with a dot";
    h.sections = {{"Options", {{"--flag", "sets it\nand more"}}},
                  {"Exit status", {{"0", "success"}, {"2", "a usage error"}}}};
    return h;
}

TEST(ProgramHelp, TextListsUsageDescriptionAndEveryEntry) {
    EXPECT_EQ(vnx::help_text(sample()),
              "usage: tool [--flag] FILE\n"
              "       tool --version | --help\n"
              "tool: does one thing.\n"
              "\n"
              "First paragraph,\nsecond line.\n\n.starts with a dot\n"
              "\n"
              "Options:\n"
              "  --flag\n"
              "      sets it\n"
              "      and more\n"
              "\n"
              "Exit status:\n"
              "  0\n"
              "      success\n"
              "  2\n"
              "      a usage error\n");
}

TEST(ProgramHelp, RoffHasHeaderSectionsAndTaggedEntries) {
    const std::string roff = vnx::help_roff(sample());
    EXPECT_EQ(roff.rfind(".TH TOOL 8 \"\" \"Varnex ", 0), 0u) << roff;
    EXPECT_NE(roff.find(".SH NAME\ntool \\- does one thing\n"), std::string::npos) << roff;
    EXPECT_NE(roff.find(".SH SYNOPSIS\n.nf\n\\fBtool\\fR [\\-\\-flag] FILE\n"), std::string::npos);
    EXPECT_NE(roff.find(".SH OPTIONS\n.TP\n\\fB\\-\\-flag\\fR\nsets it\nand more\n"),
              std::string::npos)
        << roff;
    EXPECT_NE(roff.find(".SH EXIT STATUS\n.TP\n\\fB0\\fR\nsuccess\n.TP\n\\fB2\\fR\n"),
              std::string::npos)
        << roff;
}

TEST(ProgramHelp, RoffBlankLineStartsParagraphAndLeadingDotIsNoRequest) {
    const std::string roff = vnx::help_roff(sample());
    EXPECT_NE(roff.find("First paragraph,\nsecond line.\n.PP\n\\&.starts with a dot\n"),
              std::string::npos)
        << roff;
}

TEST(ProgramHelp, RoffEscapeKeepsBackslashesHyphensAndControlCharactersLiteral) {
    EXPECT_EQ(vnx::roff_escape("SOFTWARE\\Tavorin"), "SOFTWARE\\eTavorin");
    EXPECT_EQ(vnx::roff_escape("--csv"), "\\-\\-csv");
    EXPECT_EQ(vnx::roff_escape(".TH evil"), "\\&.TH evil");
    EXPECT_EQ(vnx::roff_escape("'br"), "\\&'br");
    EXPECT_EQ(vnx::roff_escape("a.b 'c'"), "a.b 'c'");
    EXPECT_EQ(vnx::roff_escape(""), "");
}

TEST(ProgramHelp, AnswersOnlyHelpAndMan) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(vnx::answer_help_argument(sample(), "--help"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), vnx::help_text(sample()));
    testing::internal::CaptureStdout();
    EXPECT_EQ(vnx::answer_help_argument(sample(), "--man"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), vnx::help_roff(sample()));
    EXPECT_EQ(vnx::answer_help_argument(sample(), "--mans"), -1);
    EXPECT_EQ(vnx::answer_help_argument(sample(), "-h"), -1);
}

}  // namespace
