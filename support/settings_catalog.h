// The settings table: every value the programs of the suite read from the
// configuration store, one row each, binding its key and name to its type
// (switch, whole number with its range, one of a list of words, path,
// address, address list, text), its default, whether a reload of the master
// applies it, who reads it and what it means.
//
// Every reader and writer goes through this table: vnxadmin's "reg set" and
// the import refuse a value outside its row's type, the master checks the
// stored values at start and at reload and refuses both on a bad one, and
// the servers take their numbers and switches through setting_number,
// setting_switch and setting_word, which know each row's default and range.
// The Markdown reference (docs/configuration.md, kept equal by a test) and
// "vnxadmin settings show --all" are printed from it.
//
// An empty stored text reads as the row's default, as an absent value does.
// Switches take true/false, yes/no, on/off and 1/0 in any case and nothing
// else. A stored text a reader finds outside its type reads as the row's
// default, except for a security switch, whose row names the value it then
// reads as (require_login: on), so that a broken setting never opens a door.
#pragma once

#include <span>
#include <string>

#include "support/config_store.h"

namespace vnx {

enum class SettingType {
    kSwitch,       // true/false (any of the accepted spellings)
    kInteger,      // decimal whole number in lo ... hi
    kWord,         // one of the '|'-separated words of `unit`, any case
    kPath,         // an absolute path
    kAddress,      // one numeric address (PortServer "listen")
    kAddressList,  // addresses and CIDR networks (PortServer "allow")
    kText,         // any text within the store's limits
    kEntries,      // a key of subkeys or of values named by the administrator
};

// When a change of the stored value reaches the programs.
enum class SettingApplies {
    kReload,   // the master's reload (SIGHUP), or the next gateway it starts
    kRestart,  // the master's next start
    kConsole,  // no server reads it
};

// One row of the table. Every text is a non-empty literal.
struct SettingEntry {
    // Key below kRootKey: "" for the root key itself, "PortServer",
    // "ODBServer", "NetServer", "NetServer\\Users" ...
    const char *key;
    // Value name as the readers spell it; for kEntries a description in
    // parentheses ("(one subkey per user)").
    const char *name;
    SettingType type;
    // kInteger: the unit ("seconds", "count", "port" ...); kWord: the words
    // ("off|allow|require"); kText: what the text is ("file name"); kEntries:
    // "subkeys" or "values"; otherwise "".
    const char *unit;
    long long lo, hi;  // kInteger: the accepted range; otherwise 0, 0
    // Default as text, as the readers apply it; "(none)" when there is none.
    const char *default_text;
    SettingApplies applies;
    // Which programs read it: "master", "gateway", "console", "all", or a
    // comma-separated pair ("master, gateway").
    const char *readers;
    // One or two sentences for an administrator.
    const char *meaning;
    // A security switch's reading when the stored text is refused; null:
    // the default.
    const char *when_refused = nullptr;

    bool holds_entries() const { return type == SettingType::kEntries; }
};

// Every row, grouped by key in the order root, PortServer, ODBServer,
// NetServer and its subkeys.
std::span<const SettingEntry> settings_catalog();

// Full store path of a row's key ("SOFTWARE\\Tavorin\\VNX\\PortServer").
std::string setting_key_path(const SettingEntry &entry);

// The row for value `name` of `key` (as in SettingEntry::key, or a full key
// path), the key compared without regard to case as the store does and the
// name exactly, as the servers find it; null when the table has none.
const SettingEntry *find_setting(const std::string &key, const std::string &name);
// The same with the name compared without regard to case, as the store finds
// a value it writes.
const SettingEntry *find_setting_any_case(const std::string &key, const std::string &name);
// True when the table has rows of values under `key` (a known key).
bool setting_key_known(const std::string &key);

// The row's type as the reference and the messages name it: "true|false",
// "integer 1..86400 (seconds)", "off|allow|require", "path" ...
std::string setting_form(const SettingEntry &entry);

// Checks `text` against the row's type. 0 with *canonical (may be null) set
// to the text as the readers take it ("yes" -> "true", "ALLOW" -> "allow",
// "" -> the default's text or ""), or -1 with *why naming the value, the text
// and the accepted values: NetServer "tls" is "bogus"; accepted: off, allow,
// require.
[[nodiscard]] int check_setting_text(const SettingEntry &entry, const std::string &text,
                                     std::string *canonical, std::string *why);

// What the servers take a stored text of the row as: its checked reading, or
// for a refused text the default (a security switch: its when_refused).
std::string setting_reading(const SettingEntry &entry, const std::string &text);

// A switch's text: 0 with *on, or -1 for anything but the accepted words.
[[nodiscard]] int parse_switch(const std::string &text, bool *on);

// Every stored value of `values` (the values of store key `key`) that has a
// row whose readers include a server, checked; "" when all pass, else the
// first refusal (check_setting_text's *why).
std::string stored_values_problem(const std::string &key, const ValueList &values);

// The servers' typed reads of a value of `key` ("ODBServer"), through
// read_server_value (the master's checked snapshot in a gateway it started,
// else the store). An absent, empty or refused text gives the row's default
// (a security switch refused: its when_refused). The row must exist.
bool setting_switch(const char *key, const char *name);
long long setting_number(const char *key, const char *name);
// A kWord value in lower case, or any other type's text as stored.
std::string setting_word(const char *key, const char *name);
// The same reads from a list of values already loaded.
bool setting_switch_in(const ValueList &values, const char *key, const char *name);
long long setting_number_in(const ValueList &values, const char *key, const char *name);
std::string setting_word_in(const ValueList &values, const char *key, const char *name);

// The table as Markdown: a title, a short introduction, then one table per
// key. Deterministic: the same table always gives the same text.
std::string settings_reference_markdown();

}  // namespace vnx
