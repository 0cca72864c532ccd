// Server nodes: the login/password split and the changes bound to the
// dialog's buttons.
#include "console/core/nodes.h"

#include "console_fixture.h"

using namespace vnx::console;
using consoletest::StoreTest;

namespace {
class Nodes : public StoreTest {};
}  // namespace

TEST(NodeSplit, AtTheFirstSlashOrAllLogin) {
    const NodeInfo a = split_node("db1", "scott/ti/ger");
    EXPECT_EQ(a.login, "scott");
    EXPECT_EQ(a.password, "ti/ger");
    const NodeInfo b = split_node("db2", "scott");
    EXPECT_EQ(b.login, "scott");
    EXPECT_EQ(b.password, "");
}

TEST_F(Nodes, RegisterModifyRemove) {
    ConsoleMessage msg;
    ASSERT_EQ(register_node(*store_, {"db1", "scott", "tiger"}, &msg), 0) << msg.text;
    EXPECT_EQ(value(kNodesKey, "db1"), "scott/tiger");
    EXPECT_EQ(register_node(*store_, {"DB1", "x", "y"}, &msg), -1);
    EXPECT_EQ(msg.text, "Server already registered.");
    EXPECT_EQ(msg.caption, "Server Information");
    ASSERT_EQ(modify_node(*store_, {"db1", "adam", "a/b"}, &msg), 0);
    EXPECT_EQ(value(kNodesKey, "db1"), "adam/a/b");
    std::vector<NodeInfo> nodes;
    ASSERT_EQ(load_nodes(*store_, &nodes, &msg), 0);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].password, "a/b");
    EXPECT_EQ(modify_node(*store_, {"db9", "x", "y"}, &msg), -1);
    EXPECT_EQ(msg.text, "Server not found.");
    ASSERT_EQ(remove_node(*store_, "db1", &msg), 0);
    EXPECT_EQ(remove_node(*store_, "db1", &msg), -1);
    ASSERT_EQ(load_nodes(*store_, &nodes, &msg), 0);
    EXPECT_TRUE(nodes.empty());
}

TEST_F(Nodes, RefusesWhatCouldNotBeReadBack) {
    ConsoleMessage msg;
    EXPECT_EQ(register_node(*store_, {" ", "scott", "t"}, &msg), -1);
    EXPECT_EQ(msg.text, "You must specify a server name.");
    EXPECT_EQ(register_node(*store_, {"db1", "", "t"}, &msg), -1);
    EXPECT_EQ(msg.text, "You must specify a login ID.");
    EXPECT_EQ(register_node(*store_, {"db1", "sc/ott", "t"}, &msg), -1);
    EXPECT_EQ(msg.text, "A login ID cannot contain \"/\".");
    EXPECT_EQ(register_node(*store_, {"db1", "s", std::string(127, 'p')}, &msg), -1);
    EXPECT_EQ(register_node(*store_, {"db1", "s", std::string(126, 'p')}, &msg), 0);
}
