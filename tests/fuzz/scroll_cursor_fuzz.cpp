// Fuzzes scroll cursors against a model (a vector of row ids): the input is a
// program of writes, rewrites, reads and searches with arbitrary record
// numbers and row ids, and of switches that fail block and index memory so
// that the spill file and the scanning search run too. Any answer that
// differs from the model aborts. Spill files go to the current directory and
// are unlinked as soon as they are made.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/scroll_cursor.h"

namespace {

struct Input {
    const uint8_t *p;
    size_t n;
    bool empty() const { return n == 0; }
    uint8_t byte() {
        if (n == 0) return 0;
        n--;
        return *p++;
    }
    // A row id of 1 to 16 printable bytes (no zero byte).
    std::string rowid() {
        size_t len = 1 + byte() % 16;
        std::string s;
        for (size_t i = 0; i < len; i++)
            s += static_cast<char>('0' + byte() % 8);
        return s;
    }
};

// First record 1 .. count of the model holding `id`, or -1.
int model_search(const std::vector<std::string> &model, const std::string &id, int count) {
    for (int r = 1; r <= count && r <= static_cast<int>(model.size()); r++)
        if (model[r - 1] == id) return r;
    return -1;
}

void check_read(vnx::ScrollCursor *c, const std::vector<std::string> &model, int record) {
    char buf[vnx::kRowIdBufSize];
    int n = vnx::read_scrollcursor(c, record, buf, sizeof buf);
    bool valid = record >= 1 && record <= static_cast<int>(model.size());
    if (!valid && n != -1) abort();
    if (valid && std::string(buf, n < 0 ? 0 : n) != model[record - 1]) abort();
}

void check_search(vnx::ScrollCursor *c, const std::vector<std::string> &model,
                  const std::string &id, int count) {
    int record = 0;
    int rc = vnx::search_scrollcursor(c, id.data(), static_cast<int>(id.size()), count, &record);
    int want = model_search(model, id, count);
    if ((rc == 0 ? record : -1) != want) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("VNX_REGISTRY", "/nonexistent/registry.db", 1);  // no DB_ROOT: spill to "."
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    int hint = in.byte() % 4 == 0 ? 0 : in.byte();
    vnx::ScrollCursor *c = vnx::create_scrollcursor("T", "fuzz", 0, "*");
    std::vector<std::string> model;
    while (!in.empty()) {
        uint8_t op = in.byte();
        int highest = static_cast<int>(model.size());
        int record = static_cast<int>(in.byte()) - 8 + (op & 0x80 ? highest : 0);
        switch (op % 6) {
            case 0:
            case 1: {  // append, or write an earlier record again
                std::string id = in.rowid();
                int at = op % 6 == 0 ? highest + 1 : record;
                int rc =
                    vnx::write_scrollcursor(c, at, id.c_str(), static_cast<int>(id.size()), hint);
                bool valid = at >= 1 && at <= highest + 1;
                if (valid != (rc == static_cast<int>(id.size()))) abort();
                if (!valid) break;
                if (at == highest + 1)
                    model.push_back(id);
                else
                    model[at - 1] = id;
                break;
            }
            case 2:
                check_read(c, model, record);
                break;
            case 3:
                if (!model.empty()) check_search(c, model, model[in.byte() % model.size()], record);
                break;
            case 4:
                check_search(c, model, in.rowid(), highest);
                break;
            case 5:
                vnx::scrollcursor_fail_blocks_after(static_cast<int>(in.byte() % 3) - 1);
                vnx::scrollcursor_fail_index(in.byte() & 1);
                break;
        }
    }
    for (int r = 1; r <= static_cast<int>(model.size()); r++)
        check_read(c, model, r);
    vnx::release_scrollcursor(c);
    vnx::scrollcursor_fail_blocks_after(-1);
    vnx::scrollcursor_fail_index(false);
    return 0;
}
