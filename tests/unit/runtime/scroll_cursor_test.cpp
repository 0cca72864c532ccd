// Scroll cursors: growth of the block, the forced spill to file, the row-id
// index, and refusal of bad record numbers, row ids and names.
#include "runtime/scroll_cursor.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/trace.h"
#include "support/config_cache.h"
#include "support/temp_store.h"

using namespace vnx;

namespace {

// Files in `dir` whose names end in ".sc".
std::vector<std::string> spill_files(const std::string &dir) {
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 3 && n.compare(n.size() - 3, 3, ".sc") == 0) out.push_back(n);
    }
    closedir(d);
    return out;
}

int open_descriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr)
        n++;
    if (d != nullptr) closedir(d);
    return n;
}

// Row ids of one width, as a character key column gives them.
std::string rowid_of(int record) {
    char buf[16];
    snprintf(buf, sizeof buf, "R%08d", record * 7);
    return buf;
}

int put(ScrollCursor *c, int record, const std::string &rowid, int capacity = 0) {
    return write_scrollcursor(c, record, rowid.c_str(), static_cast<int>(rowid.size()), capacity);
}

std::string get(ScrollCursor *c, int record) {
    char buf[kRowIdBufSize];
    int n = read_scrollcursor(c, record, buf, sizeof buf);
    return n < 0 ? "<fail>" : std::string(buf, n);
}

int search(ScrollCursor *c, const std::string &rowid, int count = -1) {
    int record = 0;
    if (count < 0) count = c->highest;
    int rc = search_scrollcursor(c, rowid.data(), static_cast<int>(rowid.size()), count, &record);
    return rc == 0 ? record : -1;
}

// Every test gets a DB_ROOT of its own for spill files.
class ScrollCursorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = "/tmp/vnx_sc_XXXXXX";
        ASSERT_NE(mkdtemp(root_.data()), nullptr);
        auto s = store_.open();
        ASSERT_TRUE(s);
        ASSERT_EQ(s->set_value(kRootKey, "DB_ROOT", root_), 0);
        reset_registry_cache_for_tests();
    }
    void TearDown() override {
        release_all_scrollcursors();
        scrollcursor_fail_blocks_after(-1);
        scrollcursor_fail_index(false);
        for (const std::string &f : spill_files(root_))
            unlink((root_ + "/" + f).c_str());
        rmdir(root_.c_str());
    }
    ScrollCursor *make(const std::string &alias = "cust") {
        return create_scrollcursor("CUSTOMER", alias, 0, "*");
    }
    TempStore store_;
    std::string root_;
};

}  // namespace

TEST_F(ScrollCursorTest, BlockDoublesPast2048And4096) {
    ScrollCursor *c = make();
    for (int r = 1; r <= 2048; r++)
        ASSERT_EQ(put(c, r, rowid_of(r)), (int)rowid_of(r).size());
    EXPECT_EQ(c->capacity, 2048);
    ASSERT_GT(put(c, 2049, rowid_of(2049)), 0);
    EXPECT_EQ(c->capacity, 4096);
    EXPECT_EQ(c->highest, 2049);
    for (int r = 2050; r <= 4097; r++)
        ASSERT_GT(put(c, r, rowid_of(r)), 0);
    EXPECT_EQ(c->capacity, 8192);
    EXPECT_EQ(c->highest, 4097);
    for (int r : {1, 2048, 2049, 4096, 4097})
        EXPECT_EQ(get(c, r), rowid_of(r)) << r;
    EXPECT_EQ(c->file, -1);
}

TEST_F(ScrollCursorTest, FirstWriterChoosesTheCapacity) {
    ScrollCursor *c = make();
    ASSERT_GT(put(c, 1, "A", 10), 0);
    EXPECT_EQ(c->capacity, 10);
    for (int r = 2; r <= 11; r++)
        ASSERT_GT(put(c, r, "A", 10), 0);
    EXPECT_EQ(c->capacity, 20);
}

TEST_F(ScrollCursorTest, RowIdsOfVaryingLengthComeBackUnpadded) {
    ScrollCursor *c = make();
    const std::vector<std::string> ids{"7", "42", "100000", "3", "12345678901234567890"};
    for (size_t i = 0; i < ids.size(); i++)
        ASSERT_GT(put(c, (int)i + 1, ids[i]), 0);
    for (size_t i = 0; i < ids.size(); i++)
        EXPECT_EQ(get(c, (int)i + 1), ids[i]);
    EXPECT_EQ(c->width, 20);
    EXPECT_EQ(search(c, "4"), -1);    // a prefix is not the row id
    EXPECT_EQ(search(c, "420"), -1);  // nor is a longer text
    EXPECT_EQ(search(c, "42"), 2);
}

TEST_F(ScrollCursorTest, WriterStopsAtZeroByteAndRefusesBadRowIds) {
    ScrollCursor *c = make();
    EXPECT_EQ(write_scrollcursor(c, 1, "17\0junk", 7, 0), 2);
    EXPECT_EQ(get(c, 1), "17");
    EXPECT_EQ(put(c, 2, ""), -1);
    EXPECT_EQ(put(c, 2, std::string(257, 'x')), -1);
    EXPECT_EQ(write_scrollcursor(c, 2, "x", 0, 0), -1);
    EXPECT_EQ(write_scrollcursor(c, 2, nullptr, 4, 0), -1);
    EXPECT_EQ(put(c, 2, std::string(256, 'x')), 256);
    EXPECT_EQ(get(c, 2), std::string(256, 'x'));
    EXPECT_EQ(c->highest, 2);
}

TEST_F(ScrollCursorTest, RecordNumbersOutOfOrderAreRefused) {
    ScrollCursor *c = make();
    EXPECT_EQ(put(c, 0, "A"), -1);
    EXPECT_EQ(put(c, -1, "A"), -1);
    EXPECT_EQ(put(c, 2, "A"), -1);  // a gap
    ASSERT_GT(put(c, 1, "A"), 0);
    EXPECT_EQ(put(c, 3, "A"), -1);
    EXPECT_EQ(c->highest, 1);
}

TEST_F(ScrollCursorTest, ReadsOutsideTheRecordsFail) {
    ScrollCursor *c = make();
    EXPECT_EQ(get(c, 1), "<fail>");  // never written
    ASSERT_GT(put(c, 1, "A"), 0);
    ASSERT_GT(put(c, 2, "BB"), 0);
    EXPECT_EQ(get(c, 3), "<fail>");
    EXPECT_EQ(get(c, 0), "<fail>");
    EXPECT_EQ(get(c, -5), "<fail>");
    char small[2];
    EXPECT_EQ(read_scrollcursor(c, 2, small, sizeof small), -1);  // no room for "BB" and zero
}

TEST_F(ScrollCursorTest, AliasesAreFoundWithoutRegardToCase) {
    ScrollCursor *first = make("cust");
    ScrollCursor *second = make("CUST");
    EXPECT_EQ(first->alias, "CUST");
    EXPECT_EQ(find_scrollcursor("Cust"), first);
    release_scrollcursor(first);
    EXPECT_EQ(find_scrollcursor("cust"), second);
    EXPECT_EQ(find_scrollcursor("other"), nullptr);
}

TEST_F(ScrollCursorTest, NamesOver79CharactersAreRefused) {
    EXPECT_NE(create_scrollcursor("T", std::string(79, 'a'), 0, ""), nullptr);
    EXPECT_EQ(create_scrollcursor("T", std::string(80, 'b'), 0, ""), nullptr);
    EXPECT_EQ(create_scrollcursor(std::string(80, 't'), "a", 0, ""), nullptr);
    EXPECT_EQ(scrollcursor_count(), 1);
}

TEST_F(ScrollCursorTest, SpillFileNameKeepsAliasInsideTheDirectory) {
    ScrollCursor *c = make("../../etc/x");
    char pid[16];
    snprintf(pid, sizeof pid, "%08x", static_cast<unsigned>(getpid()));
    EXPECT_EQ(c->file_name, std::string("______etc_x_") + pid + ".sc");
    EXPECT_EQ(make("Cust")->file_name, std::string("Cust_") + pid + ".sc");
}

TEST_F(ScrollCursorTest, SearchAnswersTheFirstEqualRecord) {
    ScrollCursor *c = make();
    for (int r = 1; r <= 10000; r++)
        ASSERT_GT(put(c, r, r == 9000 ? rowid_of(5) : rowid_of(r)), 0);
    EXPECT_EQ(search(c, rowid_of(5)), 5);
    EXPECT_EQ(search(c, rowid_of(9999)), 9999);
    EXPECT_EQ(search(c, rowid_of(1)), 1);
    EXPECT_EQ(search(c, "R0000003"), -1);
    EXPECT_EQ(search(c, rowid_of(9999), 9998), -1);  // only records 1 .. count count
    EXPECT_EQ(search(c, rowid_of(5), 5), 5);
    EXPECT_EQ(c->index.entries, 9999u);  // the duplicate took no entry
}

TEST_F(ScrollCursorTest, SearchOfEmptyCursorAndBadArgumentsFails) {
    ScrollCursor *c = make();
    EXPECT_EQ(search(c, "A"), -1);
    ASSERT_GT(put(c, 1, "A"), 0);
    int record = 0;
    EXPECT_EQ(search_scrollcursor(c, "A", 0, 1, &record), -1);
    EXPECT_EQ(search_scrollcursor(c, nullptr, 1, 1, &record), -1);
    EXPECT_EQ(search_scrollcursor(c, "A", 1, 0, &record), -1);
    EXPECT_EQ(search(c, "A"), 1);
}

TEST_F(ScrollCursorTest, RewrittenRecordIsSearchedByItsNewRowId) {
    ScrollCursor *c = make();
    for (int r = 1; r <= 3; r++)
        ASSERT_GT(put(c, r, rowid_of(r)), 0);
    EXPECT_EQ(search(c, rowid_of(2)), 2);
    ASSERT_GT(put(c, 2, "NEW"), 0);
    EXPECT_EQ(c->highest, 3);
    EXPECT_EQ(search(c, rowid_of(2)), -1);
    EXPECT_EQ(search(c, "NEW"), 2);
    ASSERT_GT(put(c, 4, rowid_of(4)), 0);  // appending after a rewrite
    EXPECT_EQ(search(c, rowid_of(4)), 4);
}

TEST_F(ScrollCursorTest, SearchWithoutIndexMemoryScansInOrder) {
    scrollcursor_fail_index(true);
    ScrollCursor *c = make();
    for (int r = 1; r <= 3000; r++)
        ASSERT_GT(put(c, r, r == 2500 ? rowid_of(7) : rowid_of(r)), 0);
    EXPECT_FALSE(c->index.slots);
    EXPECT_EQ(search(c, rowid_of(7)), 7);
    EXPECT_EQ(search(c, rowid_of(2999)), 2999);
    EXPECT_EQ(search(c, "nothing"), -1);
}

// Memory refused from the first block on: every record goes to the file.
TEST_F(ScrollCursorTest, ForcedSpillAnswersEveryRecordAndLeavesNoFile) {
    scrollcursor_fail_blocks_after(0);
    ScrollCursor *c = make();
    ASSERT_GT(put(c, 1, rowid_of(1)), 0);
    int fds = open_descriptors();
    for (int r = 2; r <= 5000; r++)
        ASSERT_GT(put(c, r, rowid_of(r)), 0) << r;
    EXPECT_GE(c->file, 0);
    EXPECT_FALSE(c->block);
    EXPECT_TRUE(spill_files(root_).empty());  // unlinked the moment it was made
    for (int r = 1; r <= 5000; r++)
        ASSERT_EQ(get(c, r), rowid_of(r)) << r;
    EXPECT_EQ(search(c, rowid_of(4321)), 4321);
    EXPECT_EQ(get(c, 5001), "<fail>");
    release_scrollcursor(c);
    EXPECT_EQ(open_descriptors(), fds - 1);
    EXPECT_TRUE(spill_files(root_).empty());
}

// The block holds 2048 records; doubling fails, the records move to the file
// and later, longer row ids widen it.
TEST_F(ScrollCursorTest, SpillAfterGrowthMovesTheBlockAndWidensTheFile) {
    scrollcursor_fail_blocks_after(1);
    ScrollCursor *c = make();
    for (int r = 1; r <= 2048; r++)
        ASSERT_GT(put(c, r, rowid_of(r)), 0);
    EXPECT_EQ(c->file, -1);
    EXPECT_EQ(search(c, rowid_of(2000)), 2000);
    for (int r = 2049; r <= 4000; r++)
        ASSERT_GT(put(c, r, rowid_of(r)), 0);
    EXPECT_GE(c->file, 0);
    ASSERT_GT(put(c, 4001, "a-much-longer-row-id"), 0);
    EXPECT_EQ(c->width, 20);
    for (int r = 1; r <= 4000; r++)
        ASSERT_EQ(get(c, r), rowid_of(r)) << r;
    EXPECT_EQ(get(c, 4001), "a-much-longer-row-id");
    EXPECT_EQ(search(c, rowid_of(2000)), 2000);
    EXPECT_EQ(search(c, "a-much-longer-row-id"), 4001);
}

TEST_F(ScrollCursorTest, SpilledCursorWithoutIndexStillFinds) {
    scrollcursor_fail_blocks_after(0);
    scrollcursor_fail_index(true);
    ScrollCursor *c = make();
    for (int r = 1; r <= 300; r++)
        ASSERT_GT(put(c, r, r == 200 ? "X" : rowid_of(r)), 0);
    ASSERT_GT(put(c, 301, "X"), 0);
    EXPECT_EQ(search(c, "X"), 200);
}

TEST_F(ScrollCursorTest, SpillFileThatCannotBeMadeLeavesCursorAsItWas) {
    auto s = store_.open();
    ASSERT_EQ(s->set_value(kRootKey, "DB_ROOT", root_ + "/missing"), 0);
    reset_registry_cache_for_tests();
    scrollcursor_fail_blocks_after(1);
    ScrollCursor *c = make();
    for (int r = 1; r <= 2048; r++)
        ASSERT_GT(put(c, r, rowid_of(r)), 0);
    EXPECT_EQ(put(c, 2049, rowid_of(2049)), -1);
    EXPECT_EQ(c->highest, 2048);
    EXPECT_EQ(c->file, -1);
    EXPECT_EQ(get(c, 2048), rowid_of(2048));
}

TEST_F(ScrollCursorTest, FailuresWriteTheirTraceLines) {
    std::string log = root_ + "/trace.log";
    ASSERT_EQ(dqp::open_log(log), 0);
    ScrollCursor *c = make();
    ASSERT_GT(put(c, 1, "A"), 0);
    get(c, 2);
    auto s = store_.open();
    ASSERT_EQ(s->set_value(kRootKey, "DB_ROOT", root_ + "/missing"), 0);
    reset_registry_cache_for_tests();
    scrollcursor_fail_blocks_after(0);
    EXPECT_EQ(put(make("other"), 1, "B"), -1);
    dqp::close_log_stream();
    dqp::set_tracing(0);
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(log.c_str());
    char name[32];
    snprintf(name, sizeof name, "other_%08x.sc", static_cast<unsigned>(getpid()));
    EXPECT_NE(text.find("**** attempt to read beyond SCROLLCURSOR file EOF ****\n"
                        "     ident        = [read_scrollcursor]"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(std::string("**** failed to create SCROLLCURSOR file '") + name +
                        "' ****\n     ident        = [write_scrollcursor]"),
              std::string::npos)
        << text;
}
