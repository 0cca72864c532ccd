// The console's main frame: the multi-document window with its menus,
// toolbar and four-pane status bar, the notification-area icon where the
// desktop has one, the about box, and the stop flow.
//
// Closing the frame hides it while a notification icon exists (the program
// lives on in the tray); without one, closing runs the stop flow, because
// the port-server thread owns the master's end and gateways left without
// their master would never be reaped. The stop flow asks its question when
// sessions are live; on Yes it asks the port server to stop (it ends every
// gateway, then the console quits).
#pragma once

#include <QMainWindow>
#include <QSystemTrayIcon>

class QAction;
class QLabel;
class QMdiArea;
class QMenu;

namespace vnx::console {

class CCurActFrm;

class CMainFrame : public QMainWindow {
  public:
    // `tray`: create the notification icon (the desktop has a tray).
    explicit CMainFrame(bool tray, QWidget *parent = nullptr);
    ~CMainFrame() override;

    // "&Current Activity": a new activity window unless the active child
    // window already is one; returns the active activity window.
    CCurActFrm *open_activity();
    CCurActFrm *active_activity() const;
    void options();
    void register_server();
    void about();
    // The stop flow; true when the server is being stopped.
    bool stop_flow();

    QMdiArea *mdi() const { return mdi_; }
    QSystemTrayIcon *tray_icon() const { return tray_; }
    QMenu *tray_menu() const { return tray_menu_; }
    bool stopping() const { return stopping_; }

  protected:
    void closeEvent(QCloseEvent *event) override;

  private:
    void create_actions();
    void create_menus();
    void create_status_bar();
    void create_tray();
    void tray_command(int id);
    void update_activity_commands();

    QMdiArea *mdi_;
    QSystemTrayIcon *tray_ = nullptr;
    QMenu *tray_menu_ = nullptr;
    QToolBar *toolbar_ = nullptr;
    bool stopping_ = false;
    QAction *exit_, *toolbar_toggle_, *status_toggle_, *activity_, *register_, *options_;
    QAction *cascade_, *tile_, *arrange_, *about_;
    QAction *refresh_, *export_, *import_, *kill_;
};

}  // namespace vnx::console
