// Settings: load, check and save.
#include "console/core/settings.h"

#include <strings.h>

#include <vector>

#include "support/config_limits.h"
#include "support/settings_catalog.h"

namespace vnx::console {

const std::array<SettingField, kSettingCount> kSettingFields = {{
    {"base-port", "Base Port", "", "DB_DQPBASE", false, SettingKind::kPort, 0, 32767},
    {"max-port", "Through to Port", "", "DB_DQPMAX", false, SettingKind::kPort, 0, 32767},
    {"retries", "Retries", "PortServer", "DQP_RETRIES", false, SettingKind::kNumber, 0, 200},
    {"timeout", "Timeout", "PortServer", "DQP_TIMEOUT", false, SettingKind::kNumber, 0, 200},
    {"delay", "Delay", "PortServer", "DQP_SPAWNWAIT", false, SettingKind::kNumber, 0, 0},
    {"listener-logfile", "Log File", "PortServer", "logfile", true, SettingKind::kText, 0, 0},
    {"listener-logging", "Logging", "PortServer", "logging", true, SettingKind::kSwitch, 0, 0},
    {"record-sets", "Record Sets", "NetServer", "DB_MAXWKA", true, SettingKind::kNumber, 10, 100},
    {"date-format", "Date Format", "NetServer", "DB_DATE", true, SettingKind::kDateList, 0, 0},
    {"server-logfile", "Log File", "NetServer", "logfile", true, SettingKind::kText, 0, 0},
    {"server-logging", "Logging", "NetServer", "logging", true, SettingKind::kSwitch, 0, 0},
    {"web-root", "Web root", "NetServer", "DB_WEBROOT", true, SettingKind::kText, 0, 0},
    {"class-directory", "Class Directory", "NetServer", "DB_CLASSDIR", true, SettingKind::kText, 0,
     0},
}};

const std::array<const char *, 7> kDateFormats = {"American", "British", "French", "German",
                                                  "Italian",  "ANSII",   "Japan"};

namespace {

std::string field_key(const SettingField &f) {
    return f.subkey[0] == '\0' ? std::string(kRootKey) : std::string(kRootKey) + "\\" + f.subkey;
}

bool name_matches(const SettingField &f, const std::string &stored) {
    return f.match_any_case ? upper(stored) == upper(f.value_name) : stored == f.value_name;
}

void load_key(const std::string &key, const ValueList &values, Settings *out) {
    for (int id = 0; id < kSettingCount; ++id) {
        const SettingField &f = kSettingFields[id];
        if (field_key(f) != key) continue;
        for (const auto &[name, data] : values) {
            if (!name_matches(f, name)) continue;
            bool on = false;
            out->text[id] = f.kind != SettingKind::kSwitch       ? data
                            : parse_switch(data, &on) == 0 && on ? "true"
                                                                 : "false";
        }
    }
}

long port_value(const std::string &text) {
    if (!all_digits(text) || text.size() > 5) return -1;
    const long value = std::stol(text);
    return value >= 1 && value <= 65535 ? value : -1;
}

struct RequiredField {
    SettingId id;
    const char *caption;
    const char *text;
};

// The four required fields of the page, in the order they are checked.
constexpr RequiredField kRequired[] = {
    {kBasePort, kTcpipCaption, "You must specify the base port address."},
    {kMaxPort, kUserCaption, "You must specify the maximum port address."},
    {kDateFormat, kUserCaption, "You must specify a system date format."},
    {kRecordSets, kUserCaption, "The maximum recordset must be at least 10."},
};

int check_required_field(int id, const std::string &text, ConsoleMessage *msg) {
    for (const RequiredField &r : kRequired) {
        if (r.id == id && text.empty()) return refuse(r.caption, r.text, msg);
    }
    return 0;
}

int check_required(const Settings &s, ConsoleMessage *msg, int *field) {
    for (const RequiredField &r : kRequired) {
        *field = r.id;
        if (int rc = check_required_field(r.id, s.text[r.id], msg); rc != 0) return rc;
    }
    return 0;
}

int check_port_field(int id, const std::string &text, ConsoleMessage *msg) {
    if (port_value(text) >= 0) return 0;
    return refuse(kTcpipCaption,
                  id == kBasePort ? "The base port address must be a number from 1 to 65535."
                                  : "The maximum port address must be a number from 1 to 65535.",
                  msg);
}

int check_ports(const Settings &s, ConsoleMessage *msg, int *field) {
    for (const int id : {kBasePort, kMaxPort}) {
        *field = id;
        if (int rc = check_port_field(id, s.text[id], msg); rc != 0) return rc;
    }
    return check_port_order(port_value(s.text[kBasePort]), port_value(s.text[kMaxPort]), msg);
}

bool known_date_format(std::string *text) {
    for (const char *name : kDateFormats) {
        if (strcasecmp(text->c_str(), name) == 0) {
            *text = name;  // the list's spelling
            return true;
        }
    }
    return false;
}

// The form of one field of any kind, and the store's limits on its text.
int check_field_form(int id, std::string *text, ConsoleMessage *msg) {
    const SettingField &f = kSettingFields[id];
    if (f.kind == SettingKind::kNumber && !text->empty() && !all_digits(*text)) {
        return refuse(kUserCaption, std::string(f.label) + " must be a number.", msg);
    }
    if (f.kind == SettingKind::kSwitch) {
        bool on = false;
        if (!text->empty() && parse_switch(*text, &on) != 0) {
            return refuse(kUserCaption,
                          std::string(f.label) +
                              " must be true or false (also yes/no, on/off, 1/0, in any case).",
                          msg);
        }
        *text = on ? "true" : "false";
    }
    if (f.kind == SettingKind::kDateList && !known_date_format(text)) {
        return refuse(kUserCaption,
                      "The system date format must be one of American, British, French, "
                      "German, Italian, ANSII or Japan.",
                      msg);
    }
    if (std::string problem = value_data_problem(*text); !problem.empty()) {
        return refuse(kUserCaption, std::string(f.label) + ": " + problem + ".", msg);
    }
    // The settings table's type of the value (its range, for a number).
    if (const SettingEntry *row = find_setting(field_key(f), f.value_name)) {
        std::string why;
        if (check_setting_text(*row, *text, nullptr, &why) != 0)
            return refuse(kUserCaption, why + ".", msg);
    }
    return 0;
}

int check_field_forms(Settings *s, ConsoleMessage *msg, int *field) {
    for (int id = 0; id < kSettingCount; ++id) {
        *field = id;
        if (int rc = check_field_form(id, &s->text[id], msg); rc != 0) return rc;
    }
    return 0;
}

}  // namespace

int load_settings(ConfigStore &store, Settings *out, ConsoleMessage *msg) {
    try {
        *out = Settings();
        out->text[kListenerLogging] = out->text[kServerLogging] = "false";
        for (const char *subkey : {"", "PortServer", "NetServer"}) {
            const std::string key =
                *subkey ? std::string(kRootKey) + "\\" + subkey : std::string(kRootKey);
            ValueList values;
            const int rc = store.list_values(key, &values);
            if (rc == -1) continue;  // a key that is missing is skipped
            if (rc < 0) return store_failure(kAppCaption, store.error(), msg);
            load_key(key, values, out);
        }
        return 0;
    } catch (...) {
        return store_failure(kAppCaption, "out of memory", msg);
    }
}

int check_settings(Settings *s, ConsoleMessage *msg, int *field) {
    int ignored = 0;
    if (field == nullptr) field = &ignored;
    for (std::string &text : s->text)
        text = trimmed(text);
    if (int rc = check_required(*s, msg, field); rc != 0) return rc;
    if (int rc = check_ports(*s, msg, field); rc != 0) return rc;
    return check_field_forms(s, msg, field);
}

int save_settings(ConfigStore &store, Settings s, ConsoleMessage *msg) {
    try {
        if (int rc = check_settings(&s, msg); rc != 0) return rc;
        std::vector<StoreChange> changes;
        for (int id = 0; id < kSettingCount; ++id) {
            const SettingField &f = kSettingFields[id];
            changes.push_back({StoreChange::kSetValue, field_key(f), f.value_name, s.text[id]});
        }
        if (store.apply(changes) != 0) return store_failure(kAppCaption, store.error(), msg);
        return 0;
    } catch (...) {
        return store_failure(kAppCaption, "out of memory", msg);
    }
}

int check_port_order(long base, long max, ConsoleMessage *msg) {
    if (max > base) return 0;
    return refuse(kTcpipCaption, "The maximum port address must be above the base port address.",
                  msg);
}

long setting_port(const std::string &text) {
    return port_value(text);
}

int check_setting(int id, std::string *text, ConsoleMessage *msg) {
    try {
        if (int rc = check_required_field(id, *text, msg); rc != 0) return rc;
        if (kSettingFields[id].kind == SettingKind::kPort) {
            if (int rc = check_port_field(id, *text, msg); rc != 0) return rc;
        }
        return check_field_form(id, text, msg);
    } catch (...) {
        return store_failure(kAppCaption, "out of memory", msg);
    }
}

int setting_at(const std::string &key, const std::string &name) {
    const std::string k = upper(normalize_key_path(key));
    for (int id = 0; id < kSettingCount; ++id) {
        const SettingField &f = kSettingFields[id];
        if (upper(field_key(f)) == k && upper(name) == upper(f.value_name)) return id;
    }
    return -1;
}

int setting_by_name(const std::string &name) {
    for (int id = 0; id < kSettingCount; ++id) {
        if (strcasecmp(name.c_str(), kSettingFields[id].name) == 0) return id;
    }
    return -1;
}

}  // namespace vnx::console
