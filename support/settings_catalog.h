// The settings catalog: one table of every value the programs of the suite
// read from the configuration store, with its key, form, default, meaning
// and reader, and the Markdown reference generated from it
// (docs/configuration.md is that text, and a test keeps the two equal).
//
// The catalog only describes; it never reads or writes the store, and no
// program takes its defaults from here: each reader keeps its own, and the
// catalog says what they are. A setting that changes what a program reads
// changes its row here too (a test scans the sources for the names read).
#pragma once

#include <span>
#include <string>

namespace vnx {

// One row of the catalog. Every text is a non-empty literal.
struct SettingEntry {
    // Key below kRootKey: "" for the root key itself, "PortServer",
    // "ODBServer", "NetServer", "NetServer\\Users" ...
    const char *key;
    // Value name as the readers spell it; for a key whose entries are
    // subkeys or values named by the administrator, a description in
    // parentheses ("(one subkey per user)") and `holds_entries` is true.
    const char *name;
    // Short name of the value's form: "port", "seconds", "count",
    // "true|false", "address", "address list", "path", "file name", "text" ...
    const char *form;
    // Default as text, as the reader applies it; "(none)" when there is none.
    const char *default_text;
    // Which programs read it: "master", "gateway", "console", "all", or a
    // comma-separated pair ("master, gateway").
    const char *readers;
    // One or two sentences for an administrator.
    const char *meaning;
    // True for a row that describes a key's entries rather than one value.
    bool holds_entries;
};

// Every row, grouped by key in the order root, PortServer, ODBServer,
// NetServer and its subkeys.
std::span<const SettingEntry> settings_catalog();

// Full store path of a row's key ("SOFTWARE\\Tavorin\\VNX\\PortServer").
std::string setting_key_path(const SettingEntry &entry);

// The row for value `name` of `key` (as in SettingEntry::key), compared
// exactly (the servers compare value names exactly; key names without
// regard to case, as the store does); null when the catalog has none.
const SettingEntry *find_setting(const std::string &key, const std::string &name);

// The catalog as Markdown: a title, a short introduction, then one table per
// key. Deterministic: the same catalog always gives the same text.
std::string settings_reference_markdown();

}  // namespace vnx
