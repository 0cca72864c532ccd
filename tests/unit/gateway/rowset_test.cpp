// Rows formatted straight from rowset arrays into the METADATA queue: what
// the client receives, values the driver cut or left unterminated, and a row
// too wide for any batch.
#include "gateway/rowset.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/dqp_client.h"
#include "gateway/row_format.h"
#include "runtime/client_table.h"

using namespace vnx;

namespace {

class Rowset : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        slot_ = attach_socket(fds[0], TRANSPORT_TCPIP);
        ASSERT_GE(slot_, 0);
        conn_ = dqp::Connection::adopt(fds[1], 5000);
        dqp_reset_metaqueue();
        cols_.resize(2);
        cols_[0].sql_type = SQL_INTEGER;
        cols_[0].precision = 6;
        cols_[1].sql_type = SQL_VARCHAR;
        cols_[1].precision = 300;
    }
    void TearDown() override { detach_from_client(slot_); }

    // Row i: the integer i * 11 - 5 and the text `texts[i]`, written as a
    // driver writes a rowset (no terminator after a text, stale bytes after
    // it), or NULL where the text is null.
    void fill(const std::vector<const char *> &texts) {
        size_t n = texts.size();
        ints_.assign(n * sizeof(SQLINTEGER), 0);
        int_len_.assign(n, sizeof(SQLINTEGER));
        chars_.assign(n * kColumnDataSize, 'Z');
        char_len_.assign(n, 0);
        for (size_t i = 0; i < n; i++) {
            SQLINTEGER v = static_cast<SQLINTEGER>(i) * 11 - 5;
            memcpy(ints_.data() + i * sizeof v, &v, sizeof v);
            if (texts[i] == nullptr) {
                char_len_[i] = SQL_NULL_DATA;
                continue;
            }
            size_t len = strlen(texts[i]);
            memcpy(chars_.data() + i * kColumnDataSize, texts[i],
                   std::min<size_t>(len, kColumnDataSize));
            char_len_[i] = static_cast<SQLLEN>(len);
        }
        set_ = {{ints_.data(), int_len_.data(), sizeof(SQLINTEGER)},
                {chars_.data(), char_len_.data(), static_cast<size_t>(kColumnDataSize)}};
    }
    RowQueued queue(size_t row, size_t *size) {
        return queue_rowset_row(dqp_meta_sink(slot_), cols_, set_, row, size);
    }
    // Sends the EOF and reads back the whole result.
    std::vector<dqp::Reply> result() {
        EXPECT_GE(dqp_send_metapkt(slot_, dqp::PKT_TYPE_EOF, SQL_NO_DATA_FOUND, {}), 0);
        std::vector<dqp::Reply> got;
        EXPECT_EQ(conn_->receive_result(&got), 0) << conn_->error();
        return got;
    }

    int slot_ = -1;
    std::unique_ptr<dqp::Connection> conn_;
    std::vector<svr_column> cols_;
    std::vector<char> ints_, chars_;
    std::vector<SQLLEN> int_len_, char_len_;
    std::vector<RowsetColumn> set_;
};

}  // namespace

TEST_F(Rowset, RowsArriveAsDataPacketsWithTheirValueTexts) {
    std::string cut(kColumnDataSize + 50, 'c');  // the driver fills the buffer and reports more
    fill({"row one  ", nullptr, "a", cut.c_str(), ""});
    memcpy(chars_.data() + 2 * kColumnDataSize, "a\0b", 3);  // a NUL inside the value
    char_len_[2] = 3;
    size_t size = 0;
    for (size_t i = 0; i < 5; i++)
        ASSERT_EQ(queue(i, &size), RowQueued::Ok) << i;
    std::vector<dqp::Reply> got = result();
    ASSERT_EQ(got.size(), 6u);
    std::vector<std::vector<std::string>> expected = {
        {"    -5", "row one"},                              // trailing blanks go
        {"     6", ""},                                     // NULL is empty
        {"    17", "a"},                                    // ends at a NUL
        {"    28", std::string(kColumnDataSize - 1, 'c')},  // cut, never the stale byte
        {"    39", ""}};
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(got[i].type, dqp::PKT_TYPE_DATA);
        EXPECT_EQ(got[i].args, expected[i]) << "row " << i;
    }
    EXPECT_EQ(got.back().type, dqp::PKT_TYPE_EOF);
}

TEST_F(Rowset, ManyRowsCrossBatchesInOrder) {
    std::vector<std::string> texts;
    for (int i = 0; i < 1000; i++)
        texts.push_back("value " + std::to_string(i) + std::string(i % 7, 'x'));
    std::vector<const char *> ptrs;
    for (const std::string &t : texts)
        ptrs.push_back(t.c_str());
    fill(ptrs);
    size_t size = 0;
    for (size_t i = 0; i < texts.size(); i++)
        ASSERT_EQ(queue(i, &size), RowQueued::Ok) << i;
    std::vector<dqp::Reply> got = result();
    ASSERT_EQ(got.size(), texts.size() + 1);
    for (size_t i = 0; i < texts.size(); i++)
        ASSERT_EQ(got[i].args[1], texts[i]) << i;
}

TEST_F(Rowset, RowTooWideForABatchIsRefusedWithItsSizeAndNotQueued) {
    // 70 columns of 300 characters, each cut to the 256 its buffer holds:
    // 17,920 bytes of values.
    std::string wide(300, 'w');
    fill({wide.c_str()});
    std::vector<svr_column> many(70, cols_[1]);
    std::vector<RowsetColumn> set(70, set_[1]);
    size_t size = 0;
    EXPECT_EQ(queue_rowset_row(dqp_meta_sink(slot_), many, set, 0, &size), RowQueued::TooWide);
    EXPECT_EQ(size, dqp::PKT_HEADER_SIZE + 70 * (8 + kColumnDataSize - 1u));
    fill({"fits"});
    ASSERT_EQ(queue(0, &size), RowQueued::Ok);
    std::vector<dqp::Reply> got = result();
    ASSERT_EQ(got.size(), 2u);  // only the row that fitted, then the EOF
    EXPECT_EQ(got[0].args, (std::vector<std::string>{"    -5", "fits"}));
}
