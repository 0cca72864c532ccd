// The "Options" sheet and its pages and dialogs: users, groups and settings.
//
// The Users and Groups pages write every New, Change and Delete at once;
// the Settings page writes all its values when the sheet is confirmed, and
// only when it has been shown. A refused save keeps the sheet open and
// writes nothing. The user and group dialogs check their fields on OK with
// the console's checks and stay open on a refusal.
#pragma once

#include <QDialog>
#include <QWidget>
#include <array>
#include <vector>

#include "console/core/accounts.h"
#include "console/core/settings.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace vnx::console {

class CUserInfoDlg : public QDialog {
  public:
    CUserInfoDlg(DialogMode mode, const std::vector<GroupInfo> &groups, QWidget *parent);
    void set_info(const UserInfo &info);
    UserInfo info() const;
    QLineEdit *name_edit() const { return name_; }
    QLineEdit *password_edit() const { return password_; }
    QLineEdit *user_id_edit() const { return user_id_; }
    QComboBox *group_box() const { return group_; }
    QPushButton *ok_button() const { return ok_; }
    void accept() override;

  private:
    DialogMode mode_;
    std::vector<GroupInfo> groups_;
    QLineEdit *name_, *password_, *user_id_;
    QComboBox *group_;
    QPushButton *ok_;
};

class CGroupInfoDlg : public QDialog {
  public:
    CGroupInfoDlg(const GroupInfo &info, const std::string &old_name, QWidget *parent);
    GroupInfo info() const;
    QLineEdit *name_edit() const { return name_; }
    QLineEdit *id_edit() const { return id_; }
    QPushButton *ok_button() const { return ok_; }
    void accept() override;

  private:
    std::string old_name_;
    QLineEdit *name_, *id_;
    QPushButton *ok_;
};

// A page with a report list and the New, Change and Delete buttons (and the
// same commands on a right-click with one row selected).
class CListPage : public QWidget {
  public:
    CListPage(const QStringList &headings, const std::vector<int> &widths, QWidget *parent);
    QTreeWidget *list() const { return list_; }
    QPushButton *new_button() const { return new_; }
    QPushButton *change_button() const { return change_; }
    QPushButton *delete_button() const { return delete_; }

  protected:
    virtual void on_new() = 0;
    virtual void on_change() = 0;
    virtual void on_delete() = 0;
    // The single selected row, or null after the selection rule's box.
    QTreeWidgetItem *selected_row(const char *caption, const char *none, const char *many);
    void append_row(const QStringList &cells);
    void select_first();

  private:
    void context_menu(const QPoint &pos);

    QTreeWidget *list_;
    QPushButton *new_, *change_, *delete_;
};

class CUserPropertyPage : public CListPage {
  public:
    explicit CUserPropertyPage(QWidget *parent = nullptr);
    void load();

  protected:
    void on_new() override;
    void on_change() override;
    void on_delete() override;

  private:
    std::vector<GroupInfo> groups();
};

class CGroupPropertyPage : public CListPage {
  public:
    explicit CGroupPropertyPage(QWidget *parent = nullptr);
    void load();

  protected:
    void on_new() override;
    void on_change() override;
    void on_delete() override;
};

class CSettingsDllg : public QWidget {
  public:
    explicit CSettingsDllg(QWidget *parent = nullptr);
    void load();
    // Checks and writes; false (after the message box) when refused.
    bool save();
    bool shown() const { return shown_; }
    QLineEdit *text_field(SettingId id) const { return edits_[id]; }
    QCheckBox *switch_field(SettingId id) const { return checks_[id]; }
    QComboBox *date_field() const { return date_; }

  protected:
    void showEvent(QShowEvent *event) override;

  private:
    QWidget *make_field(SettingId id);
    Settings collect() const;

    std::array<QLineEdit *, kSettingCount> edits_{};
    std::array<QCheckBox *, kSettingCount> checks_{};
    QComboBox *date_ = nullptr;
    bool shown_ = false;
};

class CAdminDlg : public QDialog {
  public:
    explicit CAdminDlg(QWidget *parent = nullptr);
    QTabWidget *tabs() const { return tabs_; }
    CUserPropertyPage *users() const { return users_; }
    CGroupPropertyPage *groups() const { return groups_; }
    CSettingsDllg *settings() const { return settings_; }
    QPushButton *ok_button() const { return ok_; }
    void accept() override;

  private:
    QTabWidget *tabs_;
    CUserPropertyPage *users_;
    CGroupPropertyPage *groups_;
    CSettingsDllg *settings_;
    QPushButton *ok_;
};

}  // namespace vnx::console
