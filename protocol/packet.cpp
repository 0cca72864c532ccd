// Packet building and reading. See packet.h for the layout.
#include "protocol/packet.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace dqp {

namespace {

struct TypeName {
    char type;
    const char *name;
};

// Types the trace can name; '3', '5' and the unused codes have no name.
constexpr TypeName kTypeNames[] = {
    {'0', "PKT_TYPE_ATTACH"},
    {'1', "PKT_TYPE_USE"},
    {'2', "PKT_TYPE_UNUSE"},
    {'4', "PKT_TYPE_LOGGING"},
    {'6', "PKT_TYPE_FIELDLIST"},
    {'7', "PKT_TYPE_TABLELIST"},
    {'8', "PKT_TYPE_ISLOCKED"},
    {'9', "PKT_TYPE_LOCK"},
    {':', "PKT_TYPE_UNLOCK"},
    {';', "PKT_TYPE_ISLOCKED_TABLE"},
    {'<', "PKT_TYPE_LOCK_TABLE"},
    {'?', "PKT_TYPE_RLOCK_TABLE"},
    {'@', "PKT_TYPE_UNLOCK_TABLE"},
    {'A', "PKT_TYPE_START"},
    {'B', "PKT_TYPE_STOP"},
    {'C', "PKT_TYPE_CONNECT"},
    {'D', "PKT_TYPE_DISCONNECT"},
    {'E', "PKT_TYPE_OPEN"},
    {'F', "PKT_TYPE_CLOSE"},
    {'G', "PKT_TYPE_EXECSQL"},
    {'H', "PKT_TYPE_COUNT"},
    {'I', "PKT_TYPE_DELETE"},
    {'J', "PKT_TYPE_FIND"},
    {'K', "PKT_TYPE_INSERT"},
    {'L', "PKT_TYPE_READ"},
    {'M', "PKT_TYPE_UPDATE"},
    {'N', "PKT_TYPE_NOK"},
    {'O', "PKT_TYPE_MAPERROR"},
    {'P', "PKT_TYPE_FETCH"},
    {'Q', "PKT_TYPE_FETCHMANY"},
    {'R', "PKT_TYPE_EOF"},
    {'S', "PKT_TYPE_ABORT"},
    {'T', "PKT_TYPE_DATA"},
    {'U', "PKT_TYPE_DECLARE"},
    {'V', "PKT_TYPE_UNDECLARE"},
    {'W', "PKT_TYPE_METADATA"},
    {'X', "PKT_TYPE_COMMIT"},
    {'Y', "PKT_TYPE_OK"},
    {'Z', "PKT_TYPE_ROLLBACK"},
    {'a', "PKT_TYPE_FINDFILE"},
    {'b', "PKT_TYPE_FILEATTRIBUTES"},
    {'c', "PKT_TYPE_TXT_OPEN"},
    {'d', "PKT_TYPE_TXT_CLOSE"},
    {'e', "PKT_TYPE_TXT_READ"},
    {'f', "PKT_TYPE_TXT_SEEK"},
    {'g', "PKT_TYPE_TXT_WRITE"},
    {'h', "PKT_TYPE_LOOKUP"},
    {'i', "PKT_TYPE_NEW"},
    {'j', "PKT_TYPE_METHOD"},
    {'k', "PKT_TYPE_SETPROPERTY"},
    {'l', "PKT_TYPE_GETPROPERTY"},
    {'m', "PKT_TYPE_EXTENDED_FETCH"},
    {'n', "PKT_TYPE_QUERY"},
    {'o', "PKT_TYPE_MEMO"},
    {'+', "PKT_TYPE_PIECE"},
};

uint32_t hex_or_zero(const char *text, int width) {
    uint32_t v = 0;
    return parse_hex(text, width, &v) == 0 ? v : 0;
}

}  // namespace

const char *packet_type_name(int type) {
    for (const TypeName &t : kTypeNames)
        if (t.type == type) return t.name;
    return nullptr;
}

int parse_hex(const char *text, int width, uint32_t *value) {
    uint32_t v = 0;
    for (int i = 0; i < width; i++) {  // stops at a bad digit: a NUL ends the text
        uint32_t d = detail::hex_value(text[i]);
        if (d > 0xF) return -1;
        v = v * 16 + d;
    }
    *value = v;
    return 0;
}

PacketWriter::PacketWriter(char *buf, size_t cap, int type, int32_t info, size_t argc)
    : buf_(buf), cap_(cap), argc_(argc) {
    off_ = PKT_HEADER_SIZE + 4 * argc;
    // The header, the offset table and the NUL must fit; offsets and the
    // argument count are four hex digits.
    if (argc > 0xFFFF || off_ + 1 > cap) {
        failed_ = true;
        off_ = 0;
        return;
    }
    std::memcpy(buf, "00000000", 8);
    buf[8] = static_cast<char>(type);
    put_hex(buf + 9, 8, static_cast<uint32_t>(info));
    put_hex(buf + 17, 4, static_cast<uint32_t>(argc));
}

void PacketWriter::add(std::string_view arg) {
    if (arg.size() > room()) {
        failed_ = true;
        return;
    }
    if (!arg.empty()) std::memcpy(data(), arg.data(), arg.size());
    end(arg.size());
}

int PacketWriter::finish() {
    if (failed_ || done_ != argc_) return -1;
    buf_[off_] = '\0';
    return static_cast<int>(off_);
}

int build_packet(char *buf, size_t cap, int type, int32_t info,
                 std::span<const std::string_view> args) {
    PacketWriter w(buf, cap, type, info, args.size());
    for (std::string_view a : args)
        w.add(a);
    return w.finish();
}

int build_packet(char *buf, size_t cap, int type, int32_t info, int argc, const char *const *argv) {
    if (argc < 0) return -1;
    std::vector<std::string_view> views(static_cast<size_t>(argc));
    for (int i = 0; i < argc; i++)
        if (argv != nullptr && argv[i] != nullptr) views[i] = argv[i];
    return build_packet(buf, cap, type, info, views);
}

int pkt_type(const char *pkt) {
    return static_cast<unsigned char>(pkt[8]);
}
int32_t pkt_info(const char *pkt) {
    return static_cast<int32_t>(hex_or_zero(pkt + 9, 8));
}
int pkt_argc(const char *pkt) {
    return static_cast<int>(hex_or_zero(pkt + 17, 4));
}
uint32_t pkt_len(const char *pkt) {
    return hex_or_zero(pkt, 8);
}

int packet_header(const char *pkt, size_t size, PacketHeader *out) {
    uint32_t info = 0, argc = 0;
    if (size < PKT_HEADER_SIZE) return -1;
    if (parse_hex(pkt + 9, 8, &info) != 0 || parse_hex4(pkt + 17, &argc) != 0) return -1;
    if (PKT_HEADER_SIZE + 4 * size_t{argc} > size) return -1;
    out->type = pkt_type(pkt);
    out->info = static_cast<int32_t>(info);
    out->argc = argc;
    return 0;
}

int packet_arg(const char *pkt, size_t size, int i, std::string_view *out) {
    *out = std::string_view();
    if (size < PKT_HEADER_SIZE || i < 0) return -1;
    uint32_t argc = 0;
    if (parse_hex4(pkt + 17, &argc) != 0 || static_cast<uint32_t>(i) >= argc) return -1;
    // The slot must lie inside the packet even when the whole table does not.
    if (PKT_HEADER_SIZE + 4 * static_cast<size_t>(i) + 4 > size) return -1;
    return packet_arg_at(pkt, size, static_cast<uint32_t>(i), out);
}

int packet_check(const char *pkt, size_t size) {
    PacketHeader h;
    if (packet_header(pkt, size, &h) != 0) return -1;
    std::string_view arg;
    for (uint32_t i = 0; i < h.argc; i++)
        if (packet_arg_at(pkt, size, i, &arg) != 0) return -1;
    return 0;
}

int get_argument(const char *pkt, size_t size, int i, char *dest, size_t dest_size) {
    std::string_view arg;
    if (dest_size == 0) return -2;
    dest[0] = '\0';
    if (packet_arg(pkt, size, i, &arg) != 0) return -1;
    if (arg.size() + 1 > dest_size) return -2;
    std::memcpy(dest, arg.data(), arg.size());
    dest[arg.size()] = '\0';
    return 0;
}

std::string arg_string(const char *pkt, size_t size, int i) {
    std::string_view arg;
    if (packet_arg(pkt, size, i, &arg) != 0) return {};
    return std::string(arg);
}

}  // namespace dqp
