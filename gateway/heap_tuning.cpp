// The gateway's heap limits (heap_tuning.h).
#include "gateway/heap_tuning.h"

#include <malloc.h>

#include "support/config_cache.h"
#include "support/settings_catalog.h"

namespace vnx {

bool keep_result_heap() {
    // Setting either limit also stops the C library from moving its mapping
    // threshold by itself, so both are set.
    bool block = mallopt(M_MMAP_THRESHOLD, static_cast<int>(kHeapBlockMax)) == 1;
    bool keep = mallopt(M_TRIM_THRESHOLD, static_cast<int>(kHeapKeepMax)) == 1;
    return block && keep;
}

bool tune_gateway_heap() {
    if (!setting_switch("ODBServer", "keep_heap")) return false;
    return keep_result_heap();
}

}  // namespace vnx
