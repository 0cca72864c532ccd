// Messages the console shows and the texts it builds from the store: one
// place for every text a check or a command of the console can produce, so
// that the Qt widgets, vnxadmin and the tests use the same words.
//
// A refused change is reported as a ConsoleMessage (caption and text, as a
// message box shows them). Functions of console/core return 0 on success, -1
// for a refusal (the message says why and nothing was written) and
// kStoreFailed when the configuration store itself failed (the message holds
// the store's error). No exception leaves console/core.
#pragma once

#include <string>

namespace vnx::console {

struct ConsoleMessage {
    std::string caption;
    std::string text;
};

// Captions.
inline constexpr const char *kAppCaption = "Tavorin 8.0 Varnex";
inline constexpr const char *kUserCaption = "User Information";
inline constexpr const char *kGroupCaption = "Group Information";
inline constexpr const char *kTcpipCaption = "TCPIP Information";
inline constexpr const char *kServerCaption = "Server Information";
inline constexpr const char *kActivityCaption = "Current Activity";
inline constexpr const char *kConnectionCaption = "Connection Information";

// Selection rules of the lists.
inline constexpr const char *kSelectUser = "You must select a user to perform this operation on.";
inline constexpr const char *kOneUser = "This operation can only be performed on 1 user.";
inline constexpr const char *kSelectGroup = "You must select a group to perform this operation on.";
inline constexpr const char *kOneGroup = "This operation can only be performed on 1 group.";
inline constexpr const char *kSelectConnection =
    "You must select a connection to perform this operation on.";
inline constexpr const char *kOneConnection =
    "This operation can only be performed on 1 connection at a time.";

// printf-style texts: "%s" and "%d" as the commands fill them in.
std::string format_text(const char *format, const std::string &text);
std::string format_number(const char *format, long number);

// Removes blanks (spaces and tabs) at both ends.
std::string trimmed(const std::string &text);
// Upper-cases ASCII letters.
std::string upper(const std::string &text);
// True when text is one or more decimal digits.
bool all_digits(const std::string &text);
// The leading decimal number of text as atoi reads it (0 when there is none),
// limited to the int range.
long leading_number(const std::string &text);

// What a list (users, nodes) shows for a stored password: "********", or
// nothing when none is stored. No list shows a password or its hash.
inline constexpr const char *kMaskedPassword = "********";
std::string masked_password(const std::string &stored);

// True when `text` holds a control character (a byte below 0x20, tab and
// line breaks among them, or 0x7F): such names and passwords cannot be typed
// at a client and would break the lists and the export file's lines.
bool has_control_character(const std::string &text);

// Store failure: the caption given, the store's error as text.
int store_failure(const std::string &caption, const std::string &error, ConsoleMessage *msg);
// A refusal: fills msg and returns -1.
int refuse(const char *caption, const std::string &text, ConsoleMessage *msg);

}  // namespace vnx::console
