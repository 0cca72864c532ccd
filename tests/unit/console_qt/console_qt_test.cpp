// The console's widgets under Qt Test on the offscreen platform: the Options
// sheet and its dialogs, the activity window, and the stop flow. Message
// boxes go to a hook that records them and answers the questions.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMdiArea>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <filesystem>
#include <fstream>
#include <functional>

#include "console/core/accounts.h"
#include "console/core/nodes.h"
#include "console/qt/activity_window.h"
#include "console/qt/context.h"
#include "console/qt/main_frame.h"
#include "console/qt/message_hook.h"
#include "console/qt/options_sheet.h"
#include "console/qt/server_nodes_dlg.h"
#include "master/session_registry.h"
#include "support/config_store.h"

using namespace vnx::console;

extern char **environ;

namespace {

struct Box {
    QString caption, text;
    bool question;
};

// Records every box; answers questions with `answer`.
class RecordingHook : public MessageHook {
  public:
    void tell(QWidget *, const QString &caption, const QString &text, BoxIcon) override {
        boxes.push_back({caption, text, false});
    }
    bool ask(QWidget *, const QString &caption, const QString &text, BoxIcon) override {
        boxes.push_back({caption, text, true});
        return answer;
    }
    std::vector<Box> boxes;
    bool answer = false;
};

// Runs `act` on the modal dialog of type D once its exec() loop runs.
template <typename D>
void when_modal(std::function<void(D *)> act) {
    auto *timer = new QTimer(qApp);
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, act, tries] {
        auto *dialog = dynamic_cast<D *>(QApplication::activeModalWidget());
        if (dialog == nullptr && ++*tries < 200) return;
        timer->stop();
        timer->deleteLater();
        if (dialog != nullptr) act(dialog);
    });
    timer->start(5);
}

vnx::SessionRecord live_record(const std::string &name, int pid, int port) {
    vnx::SessionRecord r;
    r.status = vnx::SESSION_LIVE;
    r.name = name;
    r.type_field = "ODB127.0.0.1";
    r.process = pid;
    r.port = port;
    r.login_date = "07/12/2026";
    r.login_time = "15:00:00";
    return r;
}

}  // namespace

class ConsoleWidgets : public QObject {
    Q_OBJECT

  private:
    std::string root_;
    std::unique_ptr<vnx::ConfigStore> store_;
    RecordingHook hook_;

    std::string value(const std::string &key, const std::string &name) {
        std::string data;
        return store_->get_value(key, name, &data) == 0 ? data : "<absent>";
    }
    static std::string user_key(const std::string &name) {
        return std::string(kUsersKey) + "\\" + name;
    }
    void write_users_db(const std::vector<vnx::SessionRecord> &records) {
        std::string bytes(vnx::SESSION_HEADER_SIZE, '\0');
        for (const auto &rec : records) {
            unsigned char buf[vnx::SESSION_RECORD_SIZE];
            vnx::encode_session_record(rec, buf);
            bytes.append(reinterpret_cast<char *>(buf), sizeof buf);
        }
        bytes += '\x1A';
        std::ofstream(root_ + "/users.db", std::ios::binary) << bytes;
    }

  private slots:
    void init() {
        char tmpl[] = "/tmp/vnx_qt_XXXXXX";
        QVERIFY(mkdtemp(tmpl) != nullptr);
        root_ = tmpl;
        const std::string path = root_ + "/registry.db";
        setenv("VNX_REGISTRY", path.c_str(), 1);
        std::string err;
        store_ = vnx::ConfigStore::open(path, true, &err);
        QVERIFY(store_ != nullptr);
        store_->set_value(vnx::kRootKey, "DB_ROOT", root_);
        store_->set_value(vnx::kRootKey, "DB_DQPBASE", "5000");
        store_->set_value(vnx::kRootKey, "DB_DQPMAX", "5101");
        store_->set_value(vnx::kNetServerKey, "DB_DATE", "British");
        store_->set_value(vnx::kNetServerKey, "DB_MAXWKA", "20");
        hook_ = RecordingHook();
        set_message_hook(&hook_);
        console_context() = {};
    }
    void cleanup() {
        set_message_hook(nullptr);
        store_.reset();
        std::filesystem::remove_all(root_);
    }

    void optionsSheetHasItsPagesInOrder() {
        CAdminDlg sheet;
        sheet.show();
        QCOMPARE(sheet.windowTitle(), QString("Options"));
        QCOMPARE(sheet.tabs()->count(), 3);
        QCOMPARE(sheet.tabs()->tabText(0), QString("Users"));
        QCOMPARE(sheet.tabs()->tabText(1), QString("Groups"));
        QCOMPARE(sheet.tabs()->tabText(2), QString("Settings"));
        QCOMPARE(sheet.users()->list()->headerItem()->text(2), QString("Group name"));
        QCOMPARE(sheet.users()->list()->columnWidth(2), 210);
    }

    void newUserWithoutPasswordIsRefusedAndDialogStaysOpen() {
        ConsoleMessage msg;
        QCOMPARE(add_group(*store_, {"staff", "2"}, &msg), 0);
        CAdminDlg sheet;
        sheet.show();
        bool stayed_open = false;
        when_modal<CUserInfoDlg>([&](CUserInfoDlg *dialog) {
            dialog->name_edit()->setText("ann");
            dialog->user_id_edit()->setText("7");
            dialog->group_box()->setCurrentIndex(0);
            QTest::mouseClick(dialog->ok_button(), Qt::LeftButton);
            stayed_open = dialog->isVisible();
            dialog->reject();
        });
        QTest::mouseClick(sheet.users()->new_button(), Qt::LeftButton);
        QVERIFY(stayed_open);
        QCOMPARE(hook_.boxes.size(), size_t(1));
        QCOMPARE(hook_.boxes[0].caption, QString("User Information"));
        QCOMPARE(hook_.boxes[0].text, QString("You must specify a user password."));
        QCOMPARE(sheet.users()->list()->topLevelItemCount(), 0);
        QVERIFY(!store_->key_exists(kUsersKey));
    }

    void usersPageMasksPasswordsAndChangeKeepsAnUntouchedHash() {
        ConsoleMessage msg;
        QCOMPARE(add_group(*store_, {"staff", "2"}, &msg), 0);
        QCOMPARE(add_user(*store_, {"ann", "7", "staff", "pw"}, &msg), 0);
        const std::string hash = value(user_key("ann"), "password");
        CAdminDlg sheet;
        sheet.show();
        QTreeWidget *list = sheet.users()->list();
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(3), QString("********"));
        list->setCurrentItem(list->topLevelItem(0));
        QLineEdit::EchoMode echo = QLineEdit::Normal;
        when_modal<CUserInfoDlg>([&](CUserInfoDlg *dialog) {
            echo = dialog->password_edit()->echoMode();
            dialog->user_id_edit()->setText("9");
            QTest::mouseClick(dialog->ok_button(), Qt::LeftButton);
        });
        QTest::mouseClick(sheet.users()->change_button(), Qt::LeftButton);
        QVERIFY(hook_.boxes.empty());
        QCOMPARE(echo, QLineEdit::Password);
        QCOMPARE(value(user_key("ann"), "User ID"), std::string("9"));
        QCOMPARE(value(user_key("ann"), "password"), hash);
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(1), QString("9"));
        QCOMPARE(list->topLevelItem(0)->text(3), QString("********"));
        for (int column = 0; column < list->columnCount(); ++column)
            QVERIFY(!list->topLevelItem(0)->text(column).contains("pbkdf2"));
    }

    void newGroupIsWrittenAndListed() {
        CAdminDlg sheet;
        sheet.show();
        sheet.tabs()->setCurrentIndex(1);
        when_modal<CGroupInfoDlg>([](CGroupInfoDlg *dialog) {
            dialog->name_edit()->setText(" operators ");
            dialog->id_edit()->setText("12");
            QTest::mouseClick(dialog->ok_button(), Qt::LeftButton);
        });
        QTest::mouseClick(sheet.groups()->new_button(), Qt::LeftButton);
        QVERIFY(hook_.boxes.empty());
        QTreeWidget *list = sheet.groups()->list();
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(0), QString("operators"));
        QCOMPARE(list->topLevelItem(0)->text(1), QString("12"));
        QCOMPARE(value(kGroupsKey, "operators"), std::string("12"));
    }

    void changeAndDeleteWithoutSelectionOnlyReport() {
        CAdminDlg sheet;
        sheet.show();
        QTest::mouseClick(sheet.groups()->change_button(), Qt::LeftButton);
        QTest::mouseClick(sheet.groups()->delete_button(), Qt::LeftButton);
        QTest::mouseClick(sheet.users()->delete_button(), Qt::LeftButton);
        QCOMPARE(hook_.boxes.size(), size_t(3));
        QCOMPARE(hook_.boxes[0].caption, QString("User Information"));  // group page's Change
        QCOMPARE(hook_.boxes[0].text,
                 QString("You must select a group to perform this operation on."));
        QCOMPARE(hook_.boxes[1].caption, QString("Group Information"));
        QCOMPARE(hook_.boxes[2].text,
                 QString("You must select a user to perform this operation on."));
    }

    void settingsWithEmptyBasePortAreNotSaved() {
        CAdminDlg sheet;
        sheet.show();
        sheet.tabs()->setCurrentIndex(2);
        QVERIFY(sheet.settings()->shown());
        QCOMPARE(sheet.settings()->text_field(kBasePort)->text(), QString("5000"));
        sheet.settings()->text_field(kBasePort)->clear();
        sheet.settings()->text_field(kMaxPort)->setText("6000");
        QTest::mouseClick(sheet.ok_button(), Qt::LeftButton);
        QCOMPARE(hook_.boxes.size(), size_t(1));
        QCOMPARE(hook_.boxes[0].caption, QString("TCPIP Information"));
        QCOMPARE(hook_.boxes[0].text, QString("You must specify the base port address."));
        QVERIFY(sheet.isVisible());  // the sheet stays open
        QCOMPARE(value(vnx::kRootKey, "DB_DQPBASE"), std::string("5000"));
        QCOMPARE(value(vnx::kRootKey, "DB_DQPMAX"), std::string("5101"));

        sheet.settings()->text_field(kBasePort)->setText("5500");
        sheet.settings()->switch_field(kServerLogging)->setChecked(true);
        QTest::mouseClick(sheet.ok_button(), Qt::LeftButton);
        QCOMPARE(hook_.boxes.size(), size_t(1));
        QVERIFY(!sheet.isVisible());
        QCOMPARE(value(vnx::kRootKey, "DB_DQPBASE"), std::string("5500"));
        QCOMPARE(value(vnx::kNetServerKey, "logging"), std::string("true"));
    }

    void serverNodesShowLoginAndRemoveWithoutRefreshing() {
        store_->set_value(kNodesKey, "db1", "scott");  // no "/": all login, no password
        store_->set_value(kNodesKey, "db2", "adam/se/cret");
        CServerNodesDlg dialog;
        dialog.show();
        QCOMPARE(dialog.server_box()->count(), 2);
        QVERIFY(!dialog.remove_button()->isEnabled());
        QVERIFY(!dialog.modify_button()->isEnabled());
        dialog.server_box()->setCurrentIndex(0);
        emit dialog.server_box()->activated(0);
        QCOMPARE(dialog.login_edit()->text(), QString("scott"));
        QCOMPARE(dialog.password_edit()->text(), QString(""));
        emit dialog.server_box()->activated(1);
        QCOMPARE(dialog.login_edit()->text(), QString("adam"));
        QCOMPARE(dialog.password_edit()->text(), QString("se/cret"));
        QCOMPARE(dialog.password_edit()->echoMode(), QLineEdit::Password);  // shown masked
        QVERIFY(!dialog.register_button()->isEnabled());
        QVERIFY(dialog.remove_button()->isEnabled());

        dialog.server_box()->setCurrentIndex(0);
        hook_.answer = true;
        QTest::mouseClick(dialog.remove_button(), Qt::LeftButton);
        QCOMPARE(hook_.boxes.size(), size_t(1));
        QCOMPARE(hook_.boxes[0].caption, QString("Server Information"));
        QCOMPARE(hook_.boxes[0].text, QString("Remove server db1"));
        QCOMPARE(value(kNodesKey, "db1"), std::string("<absent>"));
        QCOMPARE(dialog.server_box()->count(), 2);  // the list is not refreshed

        dialog.server_box()->setEditText("db3");
        QVERIFY(dialog.register_button()->isEnabled());
        dialog.login_edit()->setText("eve");
        dialog.password_edit()->setText("pw");
        QTest::mouseClick(dialog.register_button(), Qt::LeftButton);
        QCOMPARE(value(kNodesKey, "db3"), std::string("eve/pw"));
    }

    void activityWindowListsLiveSessionsAndCounts() {
        write_users_db({live_record("alice", 4242, 5001), live_record("bob", 4243, 5002)});
        console_context().live_sessions = [] { return 2; };
        CCurActFrm frame;
        QTreeWidget *view = frame.view();
        QCOMPARE(view->topLevelItemCount(), 2);
        QCOMPARE(view->topLevelItem(0)->text(0), QString("alice"));
        QCOMPARE(view->topLevelItem(1)->text(1), QString("ODBC"));
        QCOMPARE(view->topLevelItem(1)->text(5), QString("07/12/2026 15:00:00"));
        QVERIFY(view->topLevelItem(0)->isSelected());
        QCOMPARE(frame.status_text(),
                 QString("2 active connection(s). 99 available connection(s)."));
        QVERIFY(frame.kill_action()->isEnabled());
        QVERIFY(frame.windowTitle().startsWith("Current Activity"));
    }

    void activityWindowSurvivesBrokenRegistries() {
        for (const std::string &bytes :
             {std::string(), std::string(700, '\0'), std::string(3000, ' '),
              std::string(1024 + 92 * 2 + 40, '\xff')}) {
            std::ofstream(root_ + "/users.db", std::ios::binary) << bytes;
            CCurActFrm frame;
            frame.refresh();
            QVERIFY(frame.view()->topLevelItemCount() <= 22);
        }
        std::filesystem::remove(root_ + "/users.db");
        CCurActFrm frame;
        QCOMPARE(frame.view()->topLevelItemCount(), 0);
        QCOMPARE(frame.status_text(),
                 QString("0 active connection(s). 101 available connection(s)."));
        QVERIFY(!frame.kill_action()->isEnabled());
    }

    void changedRegistryIsReadAgainKeepingTheSelection() {
        write_users_db({live_record("alice", 4242, 5001), live_record("bob", 4243, 5002)});
        CCurActFrm frame;
        frame.view()->setCurrentItem(frame.view()->topLevelItem(1));
        write_users_db({live_record("carol", 4244, 5003), live_record("alice", 4242, 5001),
                        live_record("bob", 4243, 5002)});
        frame.refresh_if_changed();
        QCOMPARE(frame.view()->topLevelItemCount(), 3);
        QCOMPARE(frame.view()->currentItem()->text(0), QString("bob"));
        QVERIFY(frame.view()->currentItem()->isSelected());
    }

    void killWithoutSelectionOnlyReports() {
        write_users_db({live_record("alice", 4242, 5001)});
        CCurActFrm frame;
        frame.view()->clearSelection();
        frame.kill();
        QCOMPARE(hook_.boxes.size(), size_t(1));
        QCOMPARE(hook_.boxes[0].caption, QString("Current Activity"));
        QCOMPARE(hook_.boxes[0].text,
                 QString("You must select a connection to perform this operation on."));
        QCOMPARE(frame.view()->topLevelItemCount(), 1);
    }

    void killThatEndsNothingKeepsTheRowAndSaysWhy() {
        const pid_t gone = fork();
        if (gone == 0) _exit(0);
        QVERIFY(gone > 0);
        waitpid(gone, nullptr, 0);  // its pid is no gateway of ours any more
        write_users_db({live_record("alice", gone, 5001)});
        CCurActFrm frame;
        hook_.answer = true;
        frame.kill();
        QCOMPARE(hook_.boxes.size(), size_t(2));
        QCOMPARE(hook_.boxes[0].text, QString("End task for alice?"));
        QCOMPARE(hook_.boxes[1].caption, QString("Connection Information"));
        QCOMPARE(hook_.boxes[1].text,
                 QString("Process %1 is not a gateway of this server (it has ended); nothing "
                         "was signalled.")
                     .arg(gone));
        QVERIFY(!hook_.boxes[1].question);
        QCOMPARE(frame.view()->topLevelItemCount(), 1);
        QCOMPARE(frame.view()->topLevelItem(0)->text(0), QString("alice"));
        QVERIFY(frame.view()->topLevelItem(0)->isSelected());
    }

    void killOfOurGatewayEndsItAndRemovesTheRow() {
        pid_t child = 0;
        char *argv[] = {const_cast<char *>("/bin/sleep"), const_cast<char *>("600"), nullptr};
        QCOMPARE(posix_spawn(&child, argv[0], nullptr, nullptr, argv, environ), 0);
        write_users_db({live_record("alice", 4242, 5001), live_record("bob", child, 5002)});
        CCurActFrm frame;
        frame.view()->topLevelItem(1)->setSelected(true);
        frame.view()->topLevelItem(0)->setSelected(false);
        hook_.answer = true;
        frame.kill();
        // A SIGTERM already sent decides how the child ends; a SIGKILL now
        // only makes sure it does.
        kill(child, SIGKILL);
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), SIGTERM);
        QCOMPARE(hook_.boxes.size(), size_t(1));  // the question only
        QCOMPARE(frame.view()->topLevelItemCount(), 1);
        QCOMPARE(frame.view()->topLevelItem(0)->text(0), QString("alice"));
    }

    void stopWithTwoSessionsAsksAndNoChangesNothing() {
        write_users_db({live_record("alice", 4242, 5001), live_record("bob", 4243, 5002)});
        int stops = 0;
        console_context().live_sessions = [] { return 2; };
        console_context().stop_server = [&stops] { ++stops; };
        CMainFrame frame(false);
        frame.show();
        CCurActFrm *activity = frame.open_activity();
        hook_.answer = false;
        QVERIFY(!frame.stop_flow());
        frame.close();  // without a tray, closing runs the same flow
        QCOMPARE(hook_.boxes.size(), size_t(2));
        QCOMPARE(hook_.boxes[0].caption, QString("Tavorin 8.0 Varnex"));
        QCOMPARE(hook_.boxes[0].text,
                 QString("   There are 2 connections active.\nAre you sure you want to stop "
                         "the server?"));
        QVERIFY(hook_.boxes[0].question);
        QCOMPARE(stops, 0);
        QVERIFY(frame.isVisible());
        QCOMPARE(frame.mdi()->subWindowList().size(), 1);
        QCOMPARE(activity->view()->topLevelItemCount(), 2);
        QCOMPARE(frame.open_activity(), activity);  // the active child already is one

        hook_.answer = true;
        QVERIFY(frame.stop_flow());
        QCOMPARE(stops, 1);
        QVERIFY(!frame.isVisible());
    }

    void stopWithoutSessionsAsksNothing() {
        int stops = 0;
        console_context().live_sessions = [] { return 0; };
        console_context().stop_server = [&stops] { ++stops; };
        CMainFrame frame(false);
        QVERIFY(frame.stop_flow());
        QVERIFY(hook_.boxes.empty());
        QCOMPARE(stops, 1);
    }
};

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ConsoleWidgets tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "console_qt_test.moc"
