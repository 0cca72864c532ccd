// The activity window: the document (its title), the child frame with its
// toolbar and one-pane status bar, and the report list of live sessions read
// from users.db.
//
// The list is rebuilt on creation, Refresh and Kill, and every two seconds
// when users.db has changed since it was last read (size or modification
// time), keeping the selected session selected. Kill signals the
// selected gateway after checking that its pid is still one of ours; the
// port-server thread reaps it and frees its record and port (the console
// never writes users.db). A Kill that ends nothing (the pid is no longer one
// of our gateways, or the signal is refused) keeps the row and shows an
// error box with the reason.
#pragma once

#include <QMainWindow>
#include <QTreeWidget>
#include <memory>
#include <string>

#include "support/config_store.h"

class QAction;
class QLabel;

namespace vnx::console {

class CCurActDoc {
  public:
    CCurActDoc();
    const QString &title() const { return title_; }

  private:
    QString title_;
};

class CCurActView : public QTreeWidget {
  public:
    explicit CCurActView(QWidget *parent = nullptr);
    // Rebuilds the list from the users.db of `store`'s DB_ROOT (none: an
    // empty list); select_first on creation.
    void fill(ConfigStore *store, bool select_first);
    // The Kill Process command: the row goes only when its gateway was
    // signalled.
    void kill_selected();
    // The users.db read by the last fill ("" without a DB_ROOT).
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

class CCurActFrm : public QMainWindow {
  public:
    explicit CCurActFrm(QWidget *parent = nullptr);
    CCurActView *view() const { return view_; }
    const CCurActDoc &document() const { return doc_; }
    QAction *refresh_action() const { return refresh_; }
    QAction *export_action() const { return export_; }
    QAction *import_action() const { return import_; }
    QAction *kill_action() const { return kill_; }
    QString status_text() const;

    void refresh();
    void kill();
    void export_registry();
    void import_registry();
    // Re-reads the counts for the status pane and Kill's enabled state.
    void update_status();
    // Refreshes when users.db changed since the last look.
    void refresh_if_changed();

  private:
    CCurActDoc doc_;
    CCurActView *view_;
    QLabel *status_;
    QAction *refresh_, *export_, *import_, *kill_;
    std::string stamp_;  // size and modification time of users.db when last read
    // The frame's own connection to the store, opened on first use: a
    // Refresh then costs no store start-up.
    ConfigStore *store();
    std::unique_ptr<ConfigStore> store_;
};

}  // namespace vnx::console
