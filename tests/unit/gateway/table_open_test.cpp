// Opening tables for record access in-process against SQLite: the key query
// into a real scroll cursor (also when it must spill to a file), the row
// count hint, COUNT, and operations on handles or tables that are not open.
#include "gateway/table_open.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/find.h"
#include "gateway/locks.h"
#include "gateway/record_io.h"
#include "gateway/session.h"
#include "runtime/scroll_cursor.h"
#include "sqlite_session_fixture.h"
#include "support/config_cache.h"

using namespace vnx;

namespace {

// A writer that records what USE hands it and stores it in the cursor.
struct Recorded {
    std::vector<int> hints;
};
Recorded recorded;

int recording_writer(ScrollCursor *c, int record, const char *data, int width, int hint) {
    recorded.hints.push_back(hint);
    return write_scrollcursor(c, record, data, width, hint);
}

class TableOpen : public SqliteSessionFixture {
  protected:
    void SetUp() override {
        SqliteSessionFixture::SetUp();
        if (HasFatalFailure()) return;
        exec("CREATE TABLE big (i INTEGER PRIMARY KEY, v VARCHAR(20))");
        exec(
            "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 5000) "
            "INSERT INTO big SELECT x, 'v' || x FROM n");
        int32_t st = 0;
        db_server_commit(h_, &st);
        recorded.hints.clear();
    }
    void TearDown() override {
        scrollcursor_fail_blocks_after(-1);
        release_all_scrollcursors();
        SqliteSessionFixture::TearDown();
    }
    int use(ScrollCursor *c, const char *filter, const char *order, int32_t *count) {
        char alias[80] = "B";
        int32_t status = 0;
        return db_server_use(h_, "big", alias, 0, recording_writer, c, filter, order, 0, &status,
                             count);
    }
    // Spill files of alias B in the spill directory.
    int spill_files() {
        int n = 0;
        std::error_code ec;
        for (auto &e : std::filesystem::directory_iterator(scrollcursor_spill_dir(), ec))
            if (e.path().filename().string().rfind("B_", 0) == 0 && e.path().extension() == ".sc")
                n++;
        return n;
    }
};

}  // namespace

TEST_F(TableOpen, UseListsEveryRowInOrderAndTellsTheWriterHowManyToExpect) {
    ScrollCursor *c = create_scrollcursor("big", "B", 0, "*");
    int32_t count = 0;
    ASSERT_EQ(use(c, "*", "v DESC", &count), 0);
    EXPECT_EQ(count, 5000);
    EXPECT_EQ(c->highest, 5000);
    ASSERT_FALSE(recorded.hints.empty());
    EXPECT_EQ(recorded.hints.front(), 5000);  // counted first: one block, no doubling
    char id[kRowIdBufSize];
    ASSERT_GT(read_scrollcursor(c, 1, id, sizeof id), 0);
    EXPECT_STREQ(id, "999");  // 'v999' is the greatest text
    int32_t n = 0;
    EXPECT_EQ(db_server_count(h_, "B", &n), 0);
    EXPECT_EQ(n, 5000);
    EXPECT_EQ(db_server_count(h_, "NOSUCH", &n), -1);
}

TEST_F(TableOpen, AForcedSpillStillAnswersEveryRecordAndLeavesNoFile) {
    ScrollCursor *c = create_scrollcursor("big", "B", 0, "*");
    scrollcursor_fail_blocks_after(0);  // no record block at all: straight to the file
    int32_t count = 0;
    ASSERT_EQ(use(c, "i > 1000", "i", &count), 0);
    EXPECT_EQ(count, 4000);
    EXPECT_GE(c->file, 0);
    EXPECT_EQ(c->block, nullptr);
    char id[kRowIdBufSize];
    for (int r = 1; r <= 4000; r++) {
        ASSERT_GT(read_scrollcursor(c, r, id, sizeof id), 0) << r;
        ASSERT_EQ(atoi(id), 1000 + r);
    }
    // FIND answers from the spilled cursor too.
    char found[kRowIdBufSize] = {};
    ASSERT_EQ(db_server_find(h_, nullptr, nullptr, 1, 'C', "big", 0, "B", found, "V", "v3000", 0),
              0);
    int record = 0;
    ASSERT_EQ(search_scrollcursor(c, found, static_cast<int>(strlen(found)), c->highest, &record),
              0);
    EXPECT_EQ(record, 2000);
    EXPECT_EQ(spill_files(), 0);  // the file has no name while it is open
    release_scrollcursor(c);
    EXPECT_EQ(spill_files(), 0);
}

TEST_F(TableOpen, OperationsOnDeadHandlesOrTablesNotOpenFail) {
    char alias[80] = "X", rowid[kRowIdBufSize] = "1", packet[64] = {};
    int32_t a = 0, b = 0;
    const char *values[] = {"1"};
    int lengths[] = {1};
    for (int32_t h : {0, -1, 999999}) {
        EXPECT_EQ(db_server_use(h, "big", alias, 0, recording_writer, nullptr, "*", "", 0, &a, &b),
                  -1);
        EXPECT_EQ(db_server_read(h, -1, packet, &a, "big", "1", 1, 0, 0, 0), -1);
        EXPECT_EQ(db_server_update(h, "big", "1", 1, 1, lengths, values, &a, &b), -1);
        EXPECT_EQ(db_server_delete(h, "big", "1", 1, &a, &b), -1);
        EXPECT_EQ(db_server_insert(h, "big", rowid, 1, lengths, values, &a, &b), -1);
        EXPECT_EQ(db_server_lock(h, -1, &a, "big", "1", 1), -1);
        EXPECT_EQ(db_server_islocked(h, -1, &a, "big", "1", 1), -1);
        EXPECT_EQ(db_server_unlock(h, "big"), -1);
        EXPECT_EQ(db_server_zap(h, "big", "*", &a), -1);
    }
    // A live session with no table open: refused with a reason, nothing changed.
    EXPECT_EQ(db_server_update(h_, "big", "1", 1, 1, lengths, values, &a, &b), -1);
    char text[512] = {};
    ASSERT_EQ(db_server_maperror(h_, text), 0);
    EXPECT_NE(std::string(text).find("not open for record access"), std::string::npos) << text;
    EXPECT_EQ(db_server_delete(h_, "big", "1", 1, &a, &b), -1);
    EXPECT_EQ(db_server_unuse(h_, &a, &b), 0);
}
