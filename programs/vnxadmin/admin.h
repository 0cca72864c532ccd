// vnxadmin's shared pieces: the subcommand table entry, the dispatcher, and
// the output helpers every subcommand uses (one factual line on stderr for a
// failure, then detail and hint lines; usage errors exit 2).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/config_store.h"
#include "support/program_help.h"

namespace vnxadmin {

using Args = std::vector<std::string>;

enum ExitStatus { kSuccess = 0, kFailure = 1, kUsage = 2 };

struct Command {
    const char *name;
    int (*run)(const Args &args);
    size_t min_args;
    size_t max_args;
    const char *arguments;    // for usage lines
    const char *description;  // for the help text
};

// Finds args[0] in `table` and runs it with the rest ("--help"/"-h" print
// the help text). `group` prefixes messages ("reg"), or null at top level.
int dispatch(const Command *table, size_t count, const char *group, const Args &args);
int print_help(const Args &args);

inline void print_line(FILE *out, const std::string &text) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fputc('\n', out);
}

// A failure: the primary line, then optional detail and hint lines.
inline int failure(const std::string &primary, const std::string &detail = {},
                   const std::string &hint = {}) {
    print_line(stderr, "vnxadmin: " + primary);
    if (!detail.empty()) print_line(stderr, "detail: " + detail);
    if (!hint.empty()) print_line(stderr, "hint: " + hint);
    return kFailure;
}

inline int usage_error(const std::string &primary, const std::string &usage = {}) {
    print_line(stderr, "vnxadmin: " + primary);
    if (!usage.empty()) print_line(stderr, "usage: vnxadmin " + usage);
    print_line(stderr, "Try \"vnxadmin --help\" for more information.");
    return kUsage;
}

inline std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

// The store at $VNX_REGISTRY; null (after printing why) when it cannot open.
inline std::unique_ptr<vnx::ConfigStore> open_store() {
    std::string err;
    auto store = vnx::ConfigStore::open_default(&err);
    if (!store) {
        failure(err, {},
                "run \"vnxadmin init\" to create the store, or point VNX_REGISTRY at an "
                "existing one");
    }
    return store;
}

// The help entries ("vnxadmin ARGUMENTS", description) of a table's
// commands that have a description.
inline void append_help_entries(const Command *table, size_t count,
                                std::vector<vnx::HelpEntry> *out) {
    for (size_t i = 0; i < count; ++i)
        if (table[i].description != nullptr)
            out->push_back({std::string("vnxadmin ") + table[i].arguments, table[i].description});
}

}  // namespace vnxadmin
