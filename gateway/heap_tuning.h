// How a gateway's C library keeps the memory a large result leaves free.
//
// Reading a whole result, a driver such as psqlODBC (UseDeclareFetch=0)
// makes a block of tens of megabytes for its row table and a great many small
// ones for the values, and frees them all when the statement closes. With the
// C library's defaults the large block is mapped on its own and unmapped when
// freed, and the free top of the heap is given back to the system, so that
// the next such result takes every page again through a page fault: about
// 11,000 faults and a tenth of the gateway's CPU on a 1,000,000-row result.
// A gateway serves one client, which often reads such results one after
// another, so it keeps blocks up to kHeapBlockMax in its heap and keeps up
// to kHeapKeepMax of free heap instead of giving it back.
//
// The cost is memory the system does not get back while the gateway lives:
// at most kHeapKeepMax beyond what the defaults keep. ODBServer "keep_heap"
// set to "false" leaves the C library's defaults.
//
// The settings are process-wide: they are applied once, on the main thread,
// before any other thread of the gateway starts.
#pragma once

#include <cstddef>

namespace vnx {

// Blocks up to this size come from the heap rather than a mapping of their
// own: above the 32 MB row table of a 1,000,000-row result.
inline constexpr size_t kHeapBlockMax = size_t{64} << 20;
// Free heap kept at its top rather than given back to the system.
inline constexpr size_t kHeapKeepMax = size_t{128} << 20;

// Applies the two limits above; true when the C library took both.
bool keep_result_heap();

// keep_result_heap() unless ODBServer "keep_heap" is "false"; true when
// the limits were applied.
bool tune_gateway_heap();

}  // namespace vnx
