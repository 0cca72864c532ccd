// The console master end to end, in this process: the port-server thread of
// a real master on a loopback base port, real gateways and client sessions,
// and the console's widgets on the offscreen platform reading the same
// users.db and live-session count as they do in db_dqpserver.
#include <QApplication>
#include <QTreeWidget>
#include <thread>

#include "client/dqp_client.h"
#include "console/qt/activity_window.h"
#include "console/qt/context.h"
#include "console/qt/main_frame.h"
#include "console/qt/message_hook.h"
#include "master/master.h"
#include "master/port_server.h"
#include "master/session_registry.h"
#include "master_harness.h"

using namespace vnxtest;
using namespace vnx::console;

namespace {

class YesHook : public MessageHook {
  public:
    void tell(QWidget *, const QString &, const QString &text, BoxIcon) override {
        told.push_back(text);
    }
    bool ask(QWidget *, const QString &, const QString &text, BoxIcon) override {
        asked.push_back(text);
        return true;
    }
    QStringList told, asked;
};

// The Master fixture's installation, with the master's port-server thread
// run here instead of in a db_dqpserver process.
class ConsoleMaster : public Master {
  protected:
    void SetUp() override {
        Master::SetUp();
        EXPECT_EQ(store_->set_value(vnx::kRootKey, "DB_DQPMAX", std::to_string(base_ + 101)), 0);
        set_message_hook(&hook_);
        console_context().live_sessions = [] { return vnx::live_sessions(); };
        console_context().stop_server = [] { vnx::port_server_stop(); };
        server_ = std::thread([this] { rc_ = vnx::port_server_thread(); });
        ASSERT_TRUE(wait_active(10000));
    }
    void TearDown() override {
        vnx::port_server_stop();
        if (server_.joinable()) server_.join();
        set_message_hook(nullptr);
        Master::TearDown();
    }
    pid_t start_session(dqp::Connection &c, const std::string &user) {
        dqp::Reply r;
        EXPECT_EQ(c.request('A', 0, {"", user, "pw"}, &r), 0) << c.error();
        return r.info;
    }
    // Processes Qt events until pred holds or timeout_ms passes.
    bool wait_for(const std::function<bool()> &pred, int timeout_ms = 10000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) return false;
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    YesHook hook_;
    std::thread server_;
    int rc_ = 0;
};

}  // namespace

TEST_F(ConsoleMaster, ActivityWindowShowsLiveSessionsAndKillEndsOne) {
    std::string err;
    int port_a = 0, port_b = 0;
    auto a = dqp::open_session("127.0.0.1", base_, "odb", &err, &port_a);
    ASSERT_NE(a, nullptr) << err;
    auto b = dqp::open_session("127.0.0.1", base_, "odb", &err, &port_b);
    ASSERT_NE(b, nullptr) << err;
    const pid_t pid_a = start_session(*a, "alice");
    const pid_t pid_b = start_session(*b, "bob");
    ASSERT_GT(pid_a, 0);
    ASSERT_GT(pid_b, 0);
    ASSERT_TRUE(wait_for([] { return vnx::live_sessions() == 2; }));

    CMainFrame frame(false);
    frame.show();
    CCurActFrm *activity = frame.open_activity();
    QTreeWidget *view = activity->view();
    ASSERT_EQ(view->topLevelItemCount(), 2);
    EXPECT_EQ(view->topLevelItem(0)->text(0), "alice");
    EXPECT_EQ(view->topLevelItem(0)->text(2), QString::number(pid_a));
    EXPECT_EQ(view->topLevelItem(0)->text(3), QString::number(port_a));
    EXPECT_EQ(view->topLevelItem(0)->text(4), "127.0.0.1");
    EXPECT_EQ(view->topLevelItem(1)->text(0), "bob");
    EXPECT_EQ(view->topLevelItem(1)->text(1), "ODBC");
    EXPECT_EQ(activity->status_text(), "2 active connection(s). 99 available connection(s).");
    EXPECT_TRUE(activity->kill_action()->isEnabled());

    // Kill bob's gateway: it ends, and the port server frees its record and port.
    view->clearSelection();
    view->topLevelItem(1)->setSelected(true);
    activity->kill();
    EXPECT_EQ(hook_.asked, QStringList{"End task for bob?"});
    EXPECT_TRUE(hook_.told.isEmpty()) << hook_.told.join("; ").toStdString();
    EXPECT_EQ(view->topLevelItemCount(), 1);
    EXPECT_TRUE(wait_for([&] { return !process_alive(pid_b); }));
    EXPECT_TRUE(wait_for([] { return vnx::live_sessions() == 1; }));
    activity->refresh();
    ASSERT_EQ(view->topLevelItemCount(), 1);
    EXPECT_EQ(view->topLevelItem(0)->text(0), "alice");
    EXPECT_EQ(request(), port_b);  // bob's port is free again
    EXPECT_TRUE(process_alive(pid_a));

    // Stopping the server ends the remaining gateways and the thread.
    hook_.asked.clear();
    ASSERT_TRUE(wait_for([] { return vnx::live_sessions() == 1; }));
    EXPECT_TRUE(frame.stop_flow());
    server_.join();
    EXPECT_EQ(rc_, 0);
    EXPECT_EQ(hook_.asked.size(), 1);
    EXPECT_TRUE(wait_for([&] { return !process_alive(pid_a); }));
}

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    // The port-server thread takes SIGTERM, SIGINT and SIGCHLD through its
    // signalfd: blocked here, before Qt or the test starts any thread.
    vnx::block_master_signals();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
