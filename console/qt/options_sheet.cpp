// The "Options" sheet.
#include "console/qt/options_sheet.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/qt/context.h"
#include "console/qt/message_hook.h"

namespace vnx::console {

namespace {

QLineEdit *digits_edit(QWidget *parent) {
    auto *edit = new QLineEdit(parent);
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
    return edit;
}

// OK and Cancel under a dialog's form.
QPushButton *add_ok_cancel(QDialog *dialog, QVBoxLayout *layout) {
    auto *buttons = new QDialogButtonBox(dialog);
    QPushButton *ok = buttons->addButton("&OK", QDialogButtonBox::AcceptRole);
    buttons->addButton("&Cancel", QDialogButtonBox::RejectRole);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);
    ok->setDefault(true);
    return ok;
}

void tell_message(QWidget *parent, const ConsoleMessage &msg) {
    console_tell(parent, qs(msg.caption), qs(msg.text), BoxIcon::kError);
}

}  // namespace

// ---- CUserInfoDlg ----

CUserInfoDlg::CUserInfoDlg(DialogMode mode, const std::vector<GroupInfo> &groups, QWidget *parent)
    : QDialog(parent), mode_(mode), groups_(groups) {
    setWindowTitle(kUserCaption);
    auto *layout = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    name_ = new QLineEdit(this);
    name_->setReadOnly(mode == DialogMode::kChange);
    password_ = new QLineEdit(this);
    password_->setEchoMode(QLineEdit::Password);
    user_id_ = digits_edit(this);
    group_ = new QComboBox(this);
    for (const GroupInfo &g : groups_)
        group_->addItem(qs(g.name));
    group_->setCurrentIndex(-1);
    form->addRow("Name:", name_);
    form->addRow("Password:", password_);
    form->addRow("User ID:", user_id_);
    form->addRow("Group Name:", group_);
    layout->addLayout(form);
    ok_ = add_ok_cancel(this, layout);
}

void CUserInfoDlg::set_info(const UserInfo &info) {
    name_->setText(qs(info.name));
    password_->setText(qs(info.password));
    user_id_->setText(qs(info.user_id));
    group_->setCurrentIndex(group_->findText(qs(info.group), Qt::MatchFixedString));
}

UserInfo CUserInfoDlg::info() const {
    return {ss(name_->text()), ss(user_id_->text()), ss(group_->currentText()),
            ss(password_->text())};
}

void CUserInfoDlg::accept() {
    auto store = open_console_store(this);
    if (!store) return;
    UserInfo form = info();
    ConsoleMessage msg;
    if (check_user(*store, &form, mode_, groups_, &msg) != 0) return tell_message(this, msg);
    QDialog::accept();
}

// ---- CGroupInfoDlg ----

CGroupInfoDlg::CGroupInfoDlg(const GroupInfo &info, const std::string &old_name, QWidget *parent)
    : QDialog(parent), old_name_(old_name) {
    setWindowTitle(kGroupCaption);
    auto *layout = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    name_ = new QLineEdit(qs(info.name), this);
    id_ = digits_edit(this);
    id_->setText(qs(info.id));
    form->addRow("Name:", name_);
    form->addRow("Group ID:", id_);
    layout->addLayout(form);
    ok_ = add_ok_cancel(this, layout);
}

GroupInfo CGroupInfoDlg::info() const {
    return {ss(name_->text()), ss(id_->text())};
}

void CGroupInfoDlg::accept() {
    auto store = open_console_store(this);
    if (!store) return;
    GroupInfo form = info();
    ConsoleMessage msg;
    if (check_group(*store, &form, old_name_, &msg) != 0) return tell_message(this, msg);
    QDialog::accept();
}

// ---- CListPage ----

CListPage::CListPage(const QStringList &headings, const std::vector<int> &widths, QWidget *parent)
    : QWidget(parent) {
    auto *layout = new QVBoxLayout(this);
    list_ = new QTreeWidget(this);
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setAllColumnsShowFocus(true);
    list_->setHeaderLabels(headings);
    list_->header()->setSectionsClickable(false);
    for (size_t i = 0; i < widths.size(); ++i)
        list_->setColumnWidth(static_cast<int>(i), widths[i]);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this, &CListPage::context_menu);
    layout->addWidget(list_);
    auto *buttons = new QHBoxLayout;
    new_ = new QPushButton("&New", this);
    change_ = new QPushButton("&Change", this);
    delete_ = new QPushButton("&Delete", this);
    for (QPushButton *b : {new_, change_, delete_})
        buttons->addWidget(b);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    connect(new_, &QPushButton::clicked, this, [this] { on_new(); });
    connect(change_, &QPushButton::clicked, this, [this] { on_change(); });
    connect(delete_, &QPushButton::clicked, this, [this] { on_delete(); });
}

QTreeWidgetItem *CListPage::selected_row(const char *caption, const char *none, const char *many) {
    const QList<QTreeWidgetItem *> rows = list_->selectedItems();
    if (rows.size() == 1) return rows.first();
    console_tell(this, caption, rows.isEmpty() ? none : many);
    return nullptr;
}

void CListPage::append_row(const QStringList &cells) {
    list_->addTopLevelItem(new QTreeWidgetItem(cells));
}

void CListPage::select_first() {
    if (list_->topLevelItemCount() == 0) return;
    list_->setCurrentItem(list_->topLevelItem(0));
    list_->topLevelItem(0)->setSelected(true);
}

void CListPage::context_menu(const QPoint &pos) {
    QTreeWidgetItem *row = list_->itemAt(pos);
    if (row == nullptr || list_->selectedItems().size() != 1) return;
    QMenu menu(this);
    menu.addAction("New", this, [this] { on_new(); });
    menu.addAction("Change", this, [this] { on_change(); });
    menu.addAction("Delete", this, [this] { on_delete(); });
    const QRect r = list_->visualItemRect(row);
    const QPoint at = list_->viewport()->mapTo(this, r.topLeft()) + QPoint(15, 30);
    menu.exec(mapToGlobal(at));
}

// ---- CUserPropertyPage ----

namespace {

// The password column shows the mask; the stored value rides along in the
// row, unseen, so that Change fills the dialog with it and an untouched
// password is kept.
constexpr int kPasswordColumn = 3;

QTreeWidgetItem *user_row(const UserInfo &u) {
    auto *row = new QTreeWidgetItem(
        QStringList{qs(u.name), qs(u.user_id), qs(u.group), qs(masked_password(u.password))});
    row->setData(kPasswordColumn, Qt::UserRole, qs(u.password));
    return row;
}

std::string stored_password(const QTreeWidgetItem *row) {
    return ss(row->data(kPasswordColumn, Qt::UserRole).toString());
}

}  // namespace

CUserPropertyPage::CUserPropertyPage(QWidget *parent)
    : CListPage({"Name", "User ID", "Group name", "Password"}, {100, 80, 210, 100}, parent) {
    load();
}

void CUserPropertyPage::load() {
    list()->clear();
    auto store = open_console_store(this);
    if (!store) return;
    std::vector<UserInfo> users;
    ConsoleMessage msg;
    if (load_users(*store, &users, &msg) != 0) return tell_message(this, msg);
    for (const UserInfo &u : users)
        list()->addTopLevelItem(user_row(u));
    select_first();
}

std::vector<GroupInfo> CUserPropertyPage::groups() {
    std::vector<GroupInfo> list;
    if (auto store = open_console_store(this)) {
        ConsoleMessage msg;
        load_groups(*store, &list, &msg);
    }
    return list;
}

void CUserPropertyPage::on_new() {
    CUserInfoDlg dialog(DialogMode::kNew, groups(), this);
    if (dialog.exec() != QDialog::Accepted) return;
    auto store = open_console_store(this);
    if (!store) return;
    ConsoleMessage msg;
    UserInfo written;
    if (add_user(*store, dialog.info(), &msg, &written) != 0) return tell_message(this, msg);
    list()->addTopLevelItem(user_row(written));
}

void CUserPropertyPage::on_change() {
    QTreeWidgetItem *row = selected_row(kUserCaption, kSelectUser, kOneUser);
    if (row == nullptr) return;
    CUserInfoDlg dialog(DialogMode::kChange, groups(), this);
    dialog.set_info({ss(row->text(0)), ss(row->text(1)), ss(row->text(2)), stored_password(row)});
    if (dialog.exec() != QDialog::Accepted) return;
    auto store = open_console_store(this);
    if (!store) return;
    ConsoleMessage msg;
    UserInfo written;
    if (change_user(*store, dialog.info(), &msg, &written) != 0) return tell_message(this, msg);
    delete row;
    list()->addTopLevelItem(user_row(written));
}

void CUserPropertyPage::on_delete() {
    QTreeWidgetItem *row = selected_row(kUserCaption, kSelectUser, kOneUser);
    if (row == nullptr) return;
    const QString name = row->text(0);
    if (!console_ask(this, kUserCaption, qs(format_text("Delete user %s", ss(name))))) {
        row->setSelected(true);
        return;
    }
    auto store = open_console_store(this);
    if (!store) return;
    ConsoleMessage msg;
    if (delete_user(*store, ss(name), &msg) != 0) return tell_message(this, msg);
    delete row;
}

// ---- CGroupPropertyPage ----

CGroupPropertyPage::CGroupPropertyPage(QWidget *parent)
    : CListPage({"Name", "Group ID"}, {200, 80}, parent) {
    load();
}

void CGroupPropertyPage::load() {
    list()->clear();
    auto store = open_console_store(this);
    if (!store) return;
    std::vector<GroupInfo> groups;
    ConsoleMessage msg;
    if (load_groups(*store, &groups, &msg) != 0) return tell_message(this, msg);
    for (const GroupInfo &g : groups)
        append_row({qs(g.name), qs(g.id)});
    select_first();
}

void CGroupPropertyPage::on_new() {
    CGroupInfoDlg dialog({}, {}, this);
    if (dialog.exec() != QDialog::Accepted) return;
    auto store = open_console_store(this);
    if (!store) return;
    GroupInfo g = dialog.info();
    ConsoleMessage msg;
    if (add_group(*store, g, &msg) != 0) return tell_message(this, msg);
    append_row({qs(trimmed(g.name)), qs(trimmed(g.id))});
}

void CGroupPropertyPage::on_change() {
    QTreeWidgetItem *row = selected_row(kUserCaption, kSelectGroup, kOneGroup);
    if (row == nullptr) return;
    const std::string old_name = ss(row->text(0));
    CGroupInfoDlg dialog({old_name, ss(row->text(1))}, old_name, this);
    if (dialog.exec() != QDialog::Accepted) return;
    auto store = open_console_store(this);
    if (!store) return;
    GroupInfo g = dialog.info();
    ConsoleMessage msg;
    if (change_group(*store, old_name, g, &msg) != 0) return tell_message(this, msg);
    delete row;
    append_row({qs(trimmed(g.name)), qs(trimmed(g.id))});
}

void CGroupPropertyPage::on_delete() {
    QTreeWidgetItem *row = selected_row(kGroupCaption, kSelectGroup, kOneGroup);
    if (row == nullptr) return;
    const QString name = row->text(0);
    if (!console_ask(this, kGroupCaption, qs(format_text("Delete group %s", ss(name))))) {
        row->setSelected(true);
        return;
    }
    auto store = open_console_store(this);
    if (!store) return;
    ConsoleMessage msg;
    if (delete_group(*store, ss(name), &msg) != 0) return tell_message(this, msg);
    delete row;
}

// ---- CSettingsDllg ----

CSettingsDllg::CSettingsDllg(QWidget *parent) : QWidget(parent) {
    auto *layout = new QVBoxLayout(this);
    const struct {
        const char *title;
        std::vector<SettingId> fields;
    } kBoxes[] = {
        {"TCP/IP Port Addresses", {kBasePort, kMaxPort}},
        {"Port Listener", {kTimeout, kRetries, kDelay, kListenerLogFile, kListenerLogging}},
        {"Server",
         {kRecordSets, kDateFormat, kServerLogFile, kServerLogging, kWebRoot, kClassDirectory}},
    };
    for (const auto &box : kBoxes) {
        auto *group = new QGroupBox(box.title, this);
        auto *form = new QFormLayout(group);
        for (SettingId id : box.fields) {
            QWidget *field = make_field(id);
            if (kSettingFields[id].kind == SettingKind::kSwitch) {
                form->addRow(field);
            } else {
                form->addRow(QString(kSettingFields[id].label) + ":", field);
            }
        }
        layout->addWidget(group);
    }
    load();
}

QWidget *CSettingsDllg::make_field(SettingId id) {
    const SettingField &f = kSettingFields[id];
    switch (f.kind) {
        case SettingKind::kSwitch:
            return checks_[id] = new QCheckBox(f.label, this);
        case SettingKind::kDateList:
            date_ = new QComboBox(this);
            for (const char *name : kDateFormats)
                date_->addItem(name);
            return date_;
        case SettingKind::kPort:
        case SettingKind::kNumber:
            return edits_[id] = digits_edit(this);
        case SettingKind::kText:
            break;
    }
    return edits_[id] = new QLineEdit(this);
}

void CSettingsDllg::load() {
    auto store = open_console_store(this);
    if (!store) return;
    Settings s;
    ConsoleMessage msg;
    if (load_settings(*store, &s, &msg) != 0) return tell_message(this, msg);
    for (int id = 0; id < kSettingCount; ++id) {
        if (edits_[id] != nullptr) edits_[id]->setText(qs(s.text[id]));
        if (checks_[id] != nullptr) checks_[id]->setChecked(s.text[id] == "true");
    }
    date_->setCurrentIndex(date_->findText(qs(s.text[kDateFormat]), Qt::MatchFixedString));
}

Settings CSettingsDllg::collect() const {
    Settings s;
    for (int id = 0; id < kSettingCount; ++id) {
        if (edits_[id] != nullptr) s.text[id] = ss(edits_[id]->text());
        if (checks_[id] != nullptr) s.text[id] = checks_[id]->isChecked() ? "true" : "false";
    }
    s.text[kDateFormat] = ss(date_->currentText());
    return s;
}

bool CSettingsDllg::save() {
    auto store = open_console_store(this);
    if (!store) return false;
    ConsoleMessage msg;
    if (save_settings(*store, collect(), &msg) == 0) return true;
    tell_message(this, msg);
    return false;
}

void CSettingsDllg::showEvent(QShowEvent *event) {
    shown_ = true;
    QWidget::showEvent(event);
}

// ---- CAdminDlg ----

CAdminDlg::CAdminDlg(QWidget *parent) : QDialog(parent) {
    setWindowTitle("Options");
    auto *layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    users_ = new CUserPropertyPage(tabs_);
    groups_ = new CGroupPropertyPage(tabs_);
    settings_ = new CSettingsDllg(tabs_);
    tabs_->addTab(users_, "Users");
    tabs_->addTab(groups_, "Groups");
    tabs_->addTab(settings_, "Settings");
    layout->addWidget(tabs_);
    ok_ = add_ok_cancel(this, layout);
}

void CAdminDlg::accept() {
    if (settings_->shown() && !settings_->save()) return;
    QDialog::accept();
}

}  // namespace vnx::console
