// The activity board: records published and read back whole, texts cut to
// their fields, a reader racing its writer never taking a torn record, and
// the file's checks.
#include "support/activity_board.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

using namespace vnx;

namespace {

// Board memory for tests that need no file.
struct MemoryBoard {
    std::vector<uint64_t> memory = std::vector<uint64_t>(ActivityBoard::file_size() / 8 + 1);
    std::unique_ptr<ActivityBoard> board = ActivityBoard::over_memory(memory.data(), 5000);
};

// A record whose every field is derived from n, so that a mix of two
// records shows.
ActivityRecord record_of(uint64_t n) {
    ActivityRecord r;
    r.state = static_cast<uint32_t>(n % 4);
    r.pid = static_cast<int32_t>(n);
    r.port = static_cast<int32_t>(n * 3);
    r.since_ms = static_cast<int64_t>(n * 7);
    r.rows_sent = n;
    std::string text(n % (sizeof r.statement - 1), static_cast<char>('a' + n % 26));
    set_activity_text(r.statement, sizeof r.statement, text);
    set_activity_text(r.user, sizeof r.user, std::string(n % 60, static_cast<char>('A' + n % 26)));
    return r;
}

bool consistent(const ActivityRecord &r) {
    const uint64_t n = r.rows_sent;
    const ActivityRecord want = record_of(n);
    return memcmp(&r, &want, sizeof r) == 0;
}

class BoardFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vnx_board_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/" + kActivityBoardName;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_, path_;
};

}  // namespace

TEST(ActivityBoard, PublishedRecordReadsBackWhole) {
    MemoryBoard m;
    ActivityRecord r = record_of(41);
    set_activity_text(r.data_source, sizeof r.data_source, "sample");
    m.board->publish(1, r);
    ActivityRecord got;
    ASSERT_EQ(m.board->read(1, &got), 0);
    EXPECT_EQ(memcmp(&got, &r, sizeof r), 0);
    EXPECT_EQ(activity_text(got.data_source, sizeof got.data_source), "sample");
    // An untouched slot reads as free.
    ASSERT_EQ(m.board->read(2, &got), 0);
    EXPECT_EQ(got.state, static_cast<uint32_t>(ActivityState::kFree));
}

TEST(ActivityBoard, SlotsCoverTheFirstAndLastPortOfTheTableOnly) {
    MemoryBoard m;
    EXPECT_EQ(m.board->slot_of(5000), -1);  // the base port itself
    EXPECT_EQ(m.board->slot_of(5001), 1);
    EXPECT_EQ(m.board->slot_of(5199), 199);
    EXPECT_EQ(m.board->slot_of(5200), -1);
    EXPECT_EQ(m.board->slot_of(-5), -1);
    ActivityRecord r;
    EXPECT_EQ(m.board->read(200, &r), -1);
    EXPECT_EQ(m.board->read(-1, &r), -1);
    m.board->publish(200, record_of(1));  // ignored, never past the map
}

TEST(ActivityBoard, LongTextsAreCutToTheirFieldAndEndInNul) {
    char field[8];
    memset(field, 'x', sizeof field);
    set_activity_text(field, sizeof field, "SELECT 1234567890");
    EXPECT_EQ(activity_text(field, sizeof field), "SELECT ");
    // A two-byte character that would straddle the end is left out whole.
    set_activity_text(field, sizeof field, "abcdef\xC3\xA9");
    EXPECT_EQ(activity_text(field, sizeof field), "abcdef");
    set_activity_text(field, sizeof field, "ab");
    EXPECT_EQ(field[2], '\0');
    EXPECT_EQ(field[7], '\0');  // the rest cleared
    ActivityRecord r;
    set_activity_text(r.statement, sizeof r.statement, std::string(5000, 's'));
    EXPECT_EQ(activity_text(r.statement, sizeof r.statement).size(), sizeof r.statement - 1);
}

TEST(ActivityBoard, ReaderRacingItsWriterNeverTakesATornRecord) {
    MemoryBoard m;
    m.board->publish(7, record_of(0));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (uint64_t n = 1; !stop.load(std::memory_order_relaxed); n++)
            m.board->publish(7, record_of(n));
    });
    int whole = 0, torn = 0;
    for (int i = 0; i < 200000; i++) {
        ActivityRecord got;
        if (m.board->read(7, &got, 100) != 0) continue;
        (consistent(got) ? whole : torn)++;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(whole, 0);
}

TEST(ActivityBoard, SlotLeftHalfWrittenIsRefusedUntilWrittenAgain) {
    MemoryBoard m;
    m.board->publish(3, record_of(5));
    // A writer that died between its two sequence updates leaves an odd
    // sequence number: the slot's first word.
    auto *bytes = reinterpret_cast<char *>(m.memory.data());
    uint64_t seq;
    memcpy(&seq, bytes + 64 + 3 * (8 + sizeof(ActivityRecord)), sizeof seq);
    ASSERT_EQ(seq % 2, 0u);
    seq++;
    memcpy(bytes + 64 + 3 * (8 + sizeof(ActivityRecord)), &seq, sizeof seq);
    ActivityRecord got;
    EXPECT_EQ(m.board->read(3, &got, 10), -1);
    m.board->publish(3, record_of(6));
    ASSERT_EQ(m.board->read(3, &got), 0);
    EXPECT_TRUE(consistent(got));
    EXPECT_EQ(got.rows_sent, 6u);
}

TEST_F(BoardFile, CreatedPrivateAndSharedBetweenWriterAndReader) {
    umask(0);
    std::string err;
    auto made = ActivityBoard::create(path_, 8600, &err);
    umask(022);
    ASSERT_NE(made, nullptr) << err;
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(static_cast<size_t>(st.st_size), ActivityBoard::file_size());
    auto writer = ActivityBoard::open(path_, true, &err);
    auto reader = ActivityBoard::open(path_, false, &err);
    ASSERT_NE(writer, nullptr) << err;
    ASSERT_NE(reader, nullptr) << err;
    EXPECT_EQ(reader->baseport(), 8600);
    writer->publish(writer->slot_of(8601), record_of(9));
    ActivityRecord got;
    ASSERT_EQ(reader->read(reader->slot_of(8601), &got), 0);
    EXPECT_TRUE(consistent(got));
    EXPECT_EQ(got.rows_sent, 9u);
}

TEST_F(BoardFile, OpenRefusesAFileOthersMayReadALinkAndAForeignFile) {
    std::string err;
    ASSERT_NE(ActivityBoard::create(path_, 8600, &err), nullptr) << err;
    chmod(path_.c_str(), 0644);
    EXPECT_EQ(ActivityBoard::open(path_, false, &err), nullptr);
    chmod(path_.c_str(), 0600);
    const std::string link = dir_ + "/link.board";
    ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
    EXPECT_EQ(ActivityBoard::open(link, true, &err), nullptr);
    const std::string other = dir_ + "/other.board";
    std::ofstream(other) << std::string(ActivityBoard::file_size(), 'x');
    chmod(other.c_str(), 0600);
    EXPECT_EQ(ActivityBoard::open(other, false, &err), nullptr);  // no board header
    std::ofstream(other) << "short";
    EXPECT_EQ(ActivityBoard::open(other, false, &err), nullptr);
}

TEST_F(BoardFile, CreateReplacesWhatALinkAtItsPathNames) {
    const std::string target = dir_ + "/target";
    std::ofstream(target) << "keep";
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    std::string err;
    ASSERT_NE(ActivityBoard::create(path_, 8600, &err), nullptr) << err;
    std::ifstream in(target);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "keep");  // the link was replaced, its target untouched
}
