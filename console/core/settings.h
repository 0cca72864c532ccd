// The "Settings" page's model: the port range, the port listener's and the
// network servers' settings, loaded from the store, checked, and written back
// in one transaction.
//
// Every field is text, as the page shows it; the two check boxes are "true"
// or "false". A table (kSettingFields) names each field's label, the name
// vnxadmin uses for it, its key and value name and how it is matched when
// loading, so that loading, checking, saving and vnxadmin all walk one list.
#pragma once

#include <array>
#include <string>

#include "console/core/messages.h"
#include "support/config_store.h"

namespace vnx::console {

enum SettingId {
    kBasePort,
    kMaxPort,
    kRetries,
    kTimeout,
    kDelay,
    kListenerLogFile,
    kListenerLogging,
    kRecordSets,
    kDateFormat,
    kServerLogFile,
    kServerLogging,
    kWebRoot,
    kClassDirectory,
    kSettingCount
};

enum class SettingKind { kPort, kNumber, kText, kSwitch, kDateList };

struct SettingField {
    const char *name;        // as vnxadmin prints and takes it
    const char *label;       // as the page shows it
    const char *subkey;      // below the root key; "" for the root key itself
    const char *value_name;  // written under this name
    bool match_any_case;     // loading matches the upper-cased name
    SettingKind kind;
    int spin_low, spin_high;  // spin range of the page (0, 0: the control's default)
};
extern const std::array<SettingField, kSettingCount> kSettingFields;

// The date format names of the drop-down list, in order.
extern const std::array<const char *, 7> kDateFormats;

struct Settings {
    std::array<std::string, kSettingCount> text;  // switches: "true" / "false"
};

// Loads every field; absent values leave the field empty (switches "false").
// Keys that cannot be read are skipped. 0, or kStoreFailed (msg says why).
int load_settings(ConfigStore &store, Settings *out, ConsoleMessage *msg);

// Trims every field, then checks in order, stopping at the first failure:
// the empty Base Port, Through to Port, Date Format and Record Sets, then
// that the ports are port numbers with the maximum above the base, that the
// numeric fields hold digits, the switches "true" or "false", the date
// format a name of the list, and that every text is within the store's
// limits (config_limits.h). 0, or -1 with the message box's caption and text.
// `field` (may be null) receives the failing field's id.
int check_settings(Settings *settings, ConsoleMessage *msg, int *field = nullptr);

// The checks of one field on its text as it is to be stored, in the order
// check_settings applies them: required, port number, form (a switch or date
// format is put in the form the page saves), the store's limits. The order
// of the two ports is check_port_order's. 0, or -1 with the message.
int check_setting(int id, std::string *text, ConsoleMessage *msg);
// Refuses a maximum port at or below the base port. 0, or -1 with the message.
int check_port_order(long base, long max, ConsoleMessage *msg);
// The port number of a port field's text (digits, 1 to 65535), or -1.
long setting_port(const std::string &text);
// Id of the field stored at `key` (a full key path) under `name`, both
// compared without regard to case as the store compares them; -1 for none.
int setting_at(const std::string &key, const std::string &name);

// Checks, then writes every value in one transaction (nothing on a refusal).
int save_settings(ConfigStore &store, Settings settings, ConsoleMessage *msg);

// Field id of a vnxadmin name (any case), or -1.
int setting_by_name(const std::string &name);

}  // namespace vnx::console
