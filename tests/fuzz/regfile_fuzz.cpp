// Fuzzes the import file parser. Whatever a file holds, parsing never fails
// harder than a refusal naming a line of the file, and every value it yields
// comes back the same through its export line: a name that the export quotes
// is read back exactly.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/core/regfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<vnx::StoreChange> changes;
    std::vector<int> lines;
    int bad_line = 0;
    std::string reason;
    if (vnx::console::parse_registry_text(text, &changes, &bad_line, &reason, &lines) != 0) {
        if (bad_line < 1 || reason.empty()) abort();
        return 0;
    }
    if (lines.size() != changes.size()) abort();
    for (const vnx::StoreChange &c : changes) {
        const std::string again = "REGEDIT\n" + vnx::console::export_line(c.key, c.name, c.data);
        std::vector<vnx::StoreChange> back;
        if (vnx::console::parse_registry_text(again, &back, &bad_line, &reason) != 0) abort();
        if (back.size() != 1 || back[0].key != c.key || back[0].name != c.name ||
            back[0].data != c.data) {
            abort();
        }
    }
    return 0;
}
