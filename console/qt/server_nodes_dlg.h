// The "Register Server" dialog: the server nodes of "NetServer\\Nodes" with
// their login information. Choosing a server shows its login id and
// password; Register adds the server typed with the login fields, Modify
// rewrites the chosen one's login, Remove deletes it after a question (the
// list is not refreshed while the dialog stays open).
#pragma once

#include <QDialog>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace vnx::console {

class CServerNodesDlg : public QDialog {
  public:
    explicit CServerNodesDlg(QWidget *parent = nullptr);
    QComboBox *server_box() const { return server_; }
    QLineEdit *login_edit() const { return login_; }
    QLineEdit *password_edit() const { return password_; }
    QPushButton *register_button() const { return register_; }
    QPushButton *remove_button() const { return remove_; }
    QPushButton *modify_button() const { return modify_; }

  private:
    void load();
    void choose(int index);
    void on_register();
    void on_modify();
    void on_remove();

    QComboBox *server_;
    QLineEdit *login_, *password_;
    QPushButton *register_, *remove_, *modify_, *close_;
};

}  // namespace vnx::console
