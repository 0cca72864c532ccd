// The main frame.
#include "console/qt/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include "console/core/activity.h"
#include "console/qt/activity_window.h"
#include "console/qt/context.h"
#include "console/qt/message_hook.h"
#include "console/qt/options_sheet.h"
#include "console/qt/server_nodes_dlg.h"

namespace vnx::console {

namespace {

constexpr int kAdminister = 1281;
constexpr int kViewConnections = 1282;
constexpr int kStopServer = 1283;

QAction *make_action(QWidget *owner, const QString &text, const char *prompt = nullptr) {
    auto *action = new QAction(text, owner);
    if (prompt != nullptr) {
        const QStringList parts = QString(prompt).split('\n');
        action->setStatusTip(parts.value(0));
        action->setToolTip(parts.value(1));
    }
    return action;
}

}  // namespace

CMainFrame::CMainFrame(bool tray, QWidget *parent) : QMainWindow(parent), mdi_(new QMdiArea(this)) {
    setWindowTitle(kAppCaption);
    setWindowIcon(style()->standardIcon(QStyle::SP_ComputerIcon));
    setCentralWidget(mdi_);
    setDockOptions(QMainWindow::AnimatedDocks | QMainWindow::AllowTabbedDocks);
    create_actions();
    create_menus();
    create_status_bar();
    if (tray) create_tray();
    connect(mdi_, &QMdiArea::subWindowActivated, this, [this] { update_activity_commands(); });
    // Kill is enabled only while sessions are live; the count is one atomic read.
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] { update_activity_commands(); });
    timer->start(1000);
    resize(900, 500);
}

CMainFrame::~CMainFrame() {
    // Closing the child windows below activates others: no slot of this
    // half-destroyed frame may run then.
    disconnect(mdi_, nullptr, this, nullptr);
}

void CMainFrame::create_actions() {
    QStyle *st = style();
    exit_ = make_action(this, "E&xit");
    toolbar_toggle_ = make_action(this, "&Toolbar");
    status_toggle_ = make_action(this, "&Status Bar");
    activity_ =
        make_action(this, "&Current Activity", "View current server's activity\nCurrent activity");
    register_ = make_action(this, "&Register Server...",
                            "Add a new server to the Server Manager window\nRegister Server");
    options_ = make_action(this, "&Options...");
    cascade_ = make_action(this, "&Cascade");
    tile_ = make_action(this, "&Tile");
    arrange_ = make_action(this, "&Arrange Icons");
    about_ = make_action(this, "&About...");
    refresh_ = make_action(this, "Re&fresh", "Refresh the activity list\nRefresh");
    export_ = make_action(this, "&Export", "Export the VNX registry \nExport");
    import_ = make_action(this, "&Import", "Import the VNX registry \nImport");
    kill_ = make_action(this, "&Kill Process", "Kill the current process\nKill Process");
    activity_->setIcon(st->standardIcon(QStyle::SP_FileDialogDetailedView));
    register_->setIcon(st->standardIcon(QStyle::SP_DriveNetIcon));
    options_->setIcon(st->standardIcon(QStyle::SP_FileDialogContentsView));
    about_->setIcon(st->standardIcon(QStyle::SP_MessageBoxInformation));
    for (QAction *toggle : {toolbar_toggle_, status_toggle_}) {
        toggle->setCheckable(true);
        toggle->setChecked(true);
    }
    connect(exit_, &QAction::triggered, this, &QWidget::close);
    connect(activity_, &QAction::triggered, this, [this] { open_activity(); });
    connect(register_, &QAction::triggered, this, &CMainFrame::register_server);
    connect(options_, &QAction::triggered, this, &CMainFrame::options);
    connect(cascade_, &QAction::triggered, mdi_, &QMdiArea::cascadeSubWindows);
    connect(tile_, &QAction::triggered, mdi_, &QMdiArea::tileSubWindows);
    connect(arrange_, &QAction::triggered, mdi_, &QMdiArea::tileSubWindows);
    connect(about_, &QAction::triggered, this, &CMainFrame::about);
    const struct {
        QAction *action;
        void (CCurActFrm::*command)();
    } kActivityCommands[] = {{refresh_, &CCurActFrm::refresh},
                             {export_, &CCurActFrm::export_registry},
                             {import_, &CCurActFrm::import_registry},
                             {kill_, &CCurActFrm::kill}};
    for (const auto &c : kActivityCommands) {
        connect(c.action, &QAction::triggered, this, [this, command = c.command] {
            if (CCurActFrm *frame = active_activity()) (frame->*command)();
        });
    }
}

void CMainFrame::create_menus() {
    QMenu *file = menuBar()->addMenu("&File");
    file->addAction(register_);
    file->addAction(options_);
    file->addSeparator();
    file->addAction(exit_);
    QMenu *view = menuBar()->addMenu("&View");
    view->addAction(toolbar_toggle_);
    view->addAction(status_toggle_);
    view->addSeparator();
    view->addAction(activity_);
    QMenu *activity = menuBar()->addMenu("&Activity");
    for (QAction *a : {refresh_, export_, import_, kill_})
        activity->addAction(a);
    QMenu *window = menuBar()->addMenu("&Window");
    window->addAction(cascade_);
    window->addAction(tile_);
    window->addAction(arrange_);
    QMenu *help = menuBar()->addMenu("&Help");
    help->addAction(about_);

    toolbar_ = addToolBar("Toolbar");
    toolbar_->setObjectName("Toolbar");
    for (QAction *a : {activity_, register_, options_, about_})
        toolbar_->addAction(a);
    connect(toolbar_toggle_, &QAction::toggled, toolbar_, &QWidget::setVisible);
    update_activity_commands();
}

void CMainFrame::create_status_bar() {
    // The text pane (status tips and messages) and three indicator panes.
    statusBar()->showMessage("Ready");
    for (const char *pane : {"    ", "    ", "    "}) {
        auto *label = new QLabel(pane, this);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setMinimumWidth(40);
        statusBar()->addPermanentWidget(label);
    }
    connect(status_toggle_, &QAction::toggled, statusBar(), &QWidget::setVisible);
}

void CMainFrame::create_tray() {
    tray_ = new QSystemTrayIcon(windowIcon(), this);
    tray_->setToolTip("Tavorin 8.0 Varnex.");
    tray_menu_ = new QMenu(this);
    tray_menu_->addAction("Administer", this, [this] { tray_command(kAdminister); });
    tray_menu_->addAction("View Connections", this, [this] { tray_command(kViewConnections); });
    tray_menu_->addSeparator();
    tray_menu_->addAction("Stop The Server", this, [this] { tray_command(kStopServer); });
    tray_->setContextMenu(tray_menu_);
    tray_->show();
}

void CMainFrame::tray_command(int id) {
    if (id == kStopServer) {
        stop_flow();
        return;
    }
    showNormal();
    raise();
    activateWindow();
    if (id == kAdminister) options();
}

CCurActFrm *CMainFrame::active_activity() const {
    QMdiSubWindow *sub = mdi_->activeSubWindow();
    return sub == nullptr ? nullptr : dynamic_cast<CCurActFrm *>(sub->widget());
}

CCurActFrm *CMainFrame::open_activity() {
    if (CCurActFrm *active = active_activity()) return active;
    auto *frame = new CCurActFrm;
    QMdiSubWindow *sub = mdi_->addSubWindow(frame);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->showMaximized();
    mdi_->setActiveSubWindow(sub);
    update_activity_commands();
    return frame;
}

void CMainFrame::update_activity_commands() {
    CCurActFrm *frame = active_activity();
    for (QAction *a : {refresh_, export_, import_})
        a->setEnabled(frame != nullptr);
    const int live = console_context().live_sessions ? console_context().live_sessions() : 0;
    kill_->setEnabled(frame != nullptr && live > 0);
    if (frame != nullptr) frame->kill_action()->setEnabled(live > 0);
}

void CMainFrame::options() {
    CAdminDlg sheet(this);
    sheet.exec();
}

void CMainFrame::register_server() {
    CServerNodesDlg dialog(this);
    dialog.exec();
}

void CMainFrame::about() {
    QDialog box(this);
    box.setWindowTitle("About Varnex");
    auto *layout = new QVBoxLayout(&box);
    layout->addWidget(new QLabel("Tavorin 8.0 Varnex", &box));
    layout->addWidget(new QLabel("Revision 8.0.6", &box));
    auto *buttons = new QDialogButtonBox(&box);
    buttons->addButton("&OK", QDialogButtonBox::AcceptRole);
    connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    layout->addWidget(buttons);
    box.exec();
}

bool CMainFrame::stop_flow() {
    if (stopping_) return true;
    const int live = console_context().live_sessions ? console_context().live_sessions() : 0;
    const std::string question = stop_question(live);
    if (!question.empty() && !console_ask(this, kAppCaption, qs(question), BoxIcon::kWarning)) {
        return false;
    }
    stopping_ = true;
    if (tray_ != nullptr) tray_->hide();
    hide();
    // The port-server thread ends every gateway and returns; the console
    // quits when it has. Without one, quit at once.
    if (console_context().stop_server) {
        console_context().stop_server();
    } else {
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    }
    return true;
}

void CMainFrame::closeEvent(QCloseEvent *event) {
    if (stopping_) return event->accept();
    event->ignore();
    if (tray_ != nullptr && tray_->isVisible()) {
        hide();
        return;
    }
    stop_flow();
}

}  // namespace vnx::console
