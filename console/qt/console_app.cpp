// Console start-up, the shared context, and messages from other threads.
#include "console/qt/console_app.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QSystemTrayIcon>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "console/core/messages.h"
#include "console/qt/activity_window.h"
#include "console/qt/context.h"
#include "console/qt/main_frame.h"
#include "console/qt/message_hook.h"

namespace vnx::console {

namespace {

std::atomic<bool> g_running{false};
// False on platforms nobody sees (offscreen, minimal): a message box there
// would wait for a click that never comes.
std::atomic<bool> g_visible_platform{true};

bool env_set(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

}  // namespace

ConsoleContext &console_context() {
    static ConsoleContext context;
    return context;
}

std::unique_ptr<ConfigStore> open_console_store(QWidget *parent) {
    std::string err;
    auto store = ConfigStore::open_default(&err);
    if (!store && parent != nullptr) console_tell(parent, kAppCaption, qs(err), BoxIcon::kError);
    return store;
}

bool console_available(int argc, char **argv, std::string *why) {
    if (!env_set("DISPLAY") && !env_set("WAYLAND_DISPLAY") && !env_set("QT_QPA_PLATFORM")) {
        *why = "no display (DISPLAY and WAYLAND_DISPLAY are not set)";
        return false;
    }
    // Qt ends the process when its platform cannot start; a child finds out.
    const pid_t child = fork();
    if (child < 0) {
        *why = "cannot start a process to try the display";
        return false;
    }
    if (child == 0) {
        // Qt aborts when it cannot start: no core file for that.
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 2);
        QApplication probe(argc, argv);
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    *why = "the Qt platform cannot start on this display";
    return false;
}

int run_console(int argc, char **argv, const ConsoleStart &start) {
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    console_context() = {start.live_sessions, start.stop_server};
    const QString platform = QGuiApplication::platformName();
    g_visible_platform = platform != "offscreen" && platform != "minimal";
    // From here on, fatal messages of the port-server thread wait for the
    // event loop below to show them.
    g_running = true;
    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    CMainFrame frame(tray);
    if (start.start_port_server) start.start_port_server();
    frame.open_activity();
    frame.hide();
    // With a notification icon the frame stays hidden until its menu shows it.
    if (!tray) start.minimized ? frame.showMinimized() : frame.show();
    const int rc = app.exec();
    g_running = false;
    return rc;
}

void console_quit() {
    if (!g_running || qApp == nullptr) return;
    // exit(), not quit(): quit() first asks every window to close, and the
    // main frame answers a close with the stop flow.
    QMetaObject::invokeMethod(
        qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void console_report_fatal(const char *caption, const char *text, int icon) {
    // Standard error always has it (the log of a service); the box is for
    // the person at the display.
    std::fprintf(stderr, "db_dqpserver: %s\n", text);
    if (!g_running || qApp == nullptr || !g_visible_platform) return;
    const QString c = caption, t = text;
    const BoxIcon box = icon == 1 ? BoxIcon::kWarning : BoxIcon::kError;
    if (QThread::currentThread() == qApp->thread()) return console_tell(nullptr, c, t, box);
    QMetaObject::invokeMethod(
        qApp, [c, t, box] { console_tell(nullptr, c, t, box); }, Qt::BlockingQueuedConnection);
}

}  // namespace vnx::console
