// Scroll cursor kernels at one million records: filling a cursor as USE does,
// and finding a row id as FIND does, beside a plain std::vector<std::string>
// of the same row ids (and, for the look-up, a linear scan of that vector and
// a std::unordered_map) measured in the same run. Also the memory each holds
// per row id.
//
// Row ids are the decimal texts of the integers 1 .. 1,000,000 in a shuffled
// order: an integer key column read in the order of another column.
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_ratio.h"
#include "runtime/scroll_cursor.h"

namespace {

constexpr int kRows = 1000000;
constexpr int kQueries = 4096;

const std::vector<std::string> &rowids() {
    static const std::vector<std::string> ids = [] {
        std::vector<int> keys(kRows);
        for (int i = 0; i < kRows; i++)
            keys[i] = i + 1;
        std::shuffle(keys.begin(), keys.end(), std::mt19937(42));
        std::vector<std::string> v;
        v.reserve(kRows);
        for (int k : keys)
            v.push_back(std::to_string(k));
        return v;
    }();
    return ids;
}

// Row ids to look up: records spread over the whole cursor.
const std::vector<std::string> &queries() {
    static const std::vector<std::string> q = [] {
        std::mt19937 rng(7);
        std::vector<std::string> v;
        for (int i = 0; i < kQueries; i++)
            v.push_back(rowids()[rng() % kRows]);
        return v;
    }();
    return q;
}

vnx::ScrollCursor *filled_cursor(const char *alias) {
    vnx::ScrollCursor *c = vnx::create_scrollcursor("T", alias, 0, "*");
    const auto &ids = rowids();
    for (int i = 0; i < kRows; i++)
        vnx::write_scrollcursor(c, i + 1, ids[i].data(), static_cast<int>(ids[i].size()), 0);
    return c;
}

// Heap bytes in use, small blocks and mmapped ones.
size_t heap_in_use() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

void BM_vector_write(benchmark::State &state) {
    const auto &ids = rowids();
    for (auto _ : state) {
        std::vector<std::string> v;
        for (const std::string &id : ids)
            v.push_back(id);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

// Arg 0: the writer asks for no capacity; arg 1: it passes the row count, as
// a backend that knows it from the open's count pass can.
void BM_cursor_write(benchmark::State &state) {
    const auto &ids = rowids();
    int hint = state.range(0) ? kRows : 0;
    vnx::scrollcursor_fail_index(state.range(1) != 0);
    for (auto _ : state) {
        vnx::ScrollCursor *c = vnx::create_scrollcursor("T", "bench", 0, "*");
        for (int i = 0; i < kRows; i++)
            vnx::write_scrollcursor(c, i + 1, ids[i].data(), static_cast<int>(ids[i].size()), hint);
        benchmark::DoNotOptimize(c->highest);
        vnx::release_scrollcursor(c);
    }
    vnx::scrollcursor_fail_index(false);
    state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_vector_find_linear(benchmark::State &state) {
    const auto &ids = rowids();
    const auto &q = queries();
    size_t i = 0;
    for (auto _ : state) {
        auto it = std::find(ids.begin(), ids.end(), q[i++ % kQueries]);
        benchmark::DoNotOptimize(it);
    }
}

void BM_unordered_map_find(benchmark::State &state) {
    static const std::unordered_map<std::string, int> map = [] {
        std::unordered_map<std::string, int> m;
        for (int i = 0; i < kRows; i++)
            m.emplace(rowids()[i], i + 1);
        return m;
    }();
    const auto &q = queries();
    size_t i = 0;
    for (auto _ : state) {
        auto it = map.find(q[i++ % kQueries]);
        benchmark::DoNotOptimize(it);
    }
}

// Arg: records in the cursor (the first ones of the same row ids); the
// look-up should cost the same at ten thousand as at a million.
void BM_cursor_find(benchmark::State &state) {
    int rows = static_cast<int>(state.range(0));
    vnx::ScrollCursor *c = vnx::create_scrollcursor("T", "find", 0, "*");
    const auto &ids = rowids();
    for (int i = 0; i < rows; i++)
        vnx::write_scrollcursor(c, i + 1, ids[i].data(), static_cast<int>(ids[i].size()), 0);
    std::mt19937 rng(7);
    std::vector<std::string> q;
    for (int i = 0; i < kQueries; i++)
        q.push_back(ids[rng() % rows]);
    size_t i = 0;
    int record = 0;
    for (auto _ : state) {
        const std::string &id = q[i++ % kQueries];
        int rc = vnx::search_scrollcursor(c, id.data(), static_cast<int>(id.size()), c->highest,
                                          &record);
        benchmark::DoNotOptimize(rc);
        benchmark::DoNotOptimize(record);
    }
    vnx::release_scrollcursor(c);
}

BENCHMARK(BM_vector_write);
BENCHMARK(BM_cursor_write)->Args({0, 0})->Args({1, 0})->Args({0, 1});
BENCHMARK(BM_vector_find_linear);
BENCHMARK(BM_unordered_map_find);
BENCHMARK(BM_cursor_find)->Arg(10000)->Arg(kRows);

// Heap bytes per row id held by a container of kRows row ids, measured by the
// allocator before and after filling it.
double vector_bytes_per_row() {
    size_t before = heap_in_use();
    auto *v = new std::vector<std::string>();
    for (const std::string &id : rowids())
        v->push_back(id);
    double per_row = double(heap_in_use() - before) / kRows;
    delete v;
    return per_row;
}

double map_bytes_per_row() {
    size_t before = heap_in_use();
    auto *m = new std::unordered_map<std::string, int>();
    for (int i = 0; i < kRows; i++)
        m->emplace(rowids()[i], i + 1);
    double per_row = double(heap_in_use() - before) / kRows;
    delete m;
    return per_row;
}

double cursor_bytes_per_row(size_t *own_count) {
    size_t before = heap_in_use();
    vnx::ScrollCursor *c = filled_cursor("memory");
    double per_row = double(heap_in_use() - before) / kRows;
    *own_count = vnx::scrollcursor_memory(c);
    vnx::release_scrollcursor(c);
    return per_row;
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    rowids();
    queries();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double vw = reporter.time_ns("BM_vector_write");
    double lf = reporter.time_ns("BM_vector_find_linear");
    double mf = reporter.time_ns("BM_unordered_map_find"),
           cf = reporter.time_ns("BM_cursor_find/1000000");
    double cf_small = reporter.time_ns("BM_cursor_find/10000");
    size_t own = 0;
    double cursor_mem = cursor_bytes_per_row(&own);
    double vector_mem = vector_bytes_per_row(), map_mem = map_bytes_per_row();
    printf("\n%d row ids (decimal texts of 1 .. %d, shuffled)\n", kRows, kRows);
    printf("write all   vector<string>          %7.1f ms  (baseline)\n", vw / 1e6);
    const char *variants[][2] = {{"BM_cursor_write/0/0", "scroll cursor, no hint"},
                                 {"BM_cursor_write/1/0", "scroll cursor, row count hint"},
                                 {"BM_cursor_write/0/1", "scroll cursor, without index"}};
    for (const auto &v : variants) {
        double t = reporter.time_ns(v[0]);
        printf("            %-30s %7.1f ms  %.2f x\n", v[1], t / 1e6, vw > 0 ? t / vw : 0);
    }
    printf("find one    linear search  %8.1f us (baseline)  unordered_map %6.1f ns\n", lf / 1e3,
           mf);
    printf("            scroll cursor  %8.1f ns   %.0f x faster than the search, %.2f x the map\n",
           cf, cf > 0 ? lf / cf : 0, mf > 0 ? cf / mf : 0);
    printf("            scroll cursor of 10,000 records: %.1f ns\n", cf_small);
    printf("memory      vector<string> %6.1f B/row id   unordered_map %6.1f B/row id\n", vector_mem,
           map_mem);
    printf("            scroll cursor  %6.1f B/row id (heap), %.1f B/row id by its own count\n",
           cursor_mem, double(own) / kRows);
    benchmark::Shutdown();
    return 0;
}
