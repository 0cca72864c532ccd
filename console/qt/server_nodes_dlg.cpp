// The "Register Server" dialog.
#include "console/qt/server_nodes_dlg.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/core/nodes.h"
#include "console/qt/context.h"
#include "console/qt/message_hook.h"

namespace vnx::console {

CServerNodesDlg::CServerNodesDlg(QWidget *parent) : QDialog(parent) {
    setWindowTitle("Register Server");
    auto *layout = new QVBoxLayout(this);
    auto *top = new QFormLayout;
    server_ = new QComboBox(this);
    server_->setEditable(true);  // Register takes a new server's name here
    top->addRow("&Server:", server_);
    layout->addLayout(top);
    auto *box = new QGroupBox("Login Information", this);
    auto *form = new QFormLayout(box);
    login_ = new QLineEdit(box);
    password_ = new QLineEdit(box);
    password_->setEchoMode(QLineEdit::Password);
    form->addRow("Login ID:", login_);
    form->addRow("Password", password_);
    layout->addWidget(box);
    auto *buttons = new QHBoxLayout;
    register_ = new QPushButton("&Register", this);
    remove_ = new QPushButton("Re&move", this);
    modify_ = new QPushButton("&Modify", this);
    close_ = new QPushButton("&Close", this);
    for (QPushButton *b : {register_, remove_, modify_, close_})
        buttons->addWidget(b);
    layout->addLayout(buttons);
    remove_->setEnabled(false);
    modify_->setEnabled(false);
    connect(register_, &QPushButton::clicked, this, &CServerNodesDlg::on_register);
    connect(remove_, &QPushButton::clicked, this, &CServerNodesDlg::on_remove);
    connect(modify_, &QPushButton::clicked, this, &CServerNodesDlg::on_modify);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    load();
    connect(server_, &QComboBox::activated, this, &CServerNodesDlg::choose);
    // A name typed that is not listed is a new server to register.
    connect(server_, &QComboBox::editTextChanged, this, [this](const QString &text) {
        const bool listed = server_->findText(text, Qt::MatchFixedString) >= 0;
        register_->setEnabled(!listed);
        remove_->setEnabled(listed);
        modify_->setEnabled(listed);
    });
}

void CServerNodesDlg::load() {
    auto store = open_console_store(this);
    if (!store) return;
    std::vector<NodeInfo> nodes;
    ConsoleMessage msg;
    if (load_nodes(*store, &nodes, &msg) != 0) {
        return console_tell(this, qs(msg.caption), qs(msg.text));
    }
    for (const NodeInfo &n : nodes)
        server_->addItem(qs(n.server));
    server_->setCurrentIndex(-1);
}

void CServerNodesDlg::choose(int index) {
    if (index < 0) return;
    auto store = open_console_store(this);
    if (!store) return;
    std::string data;
    const std::string name = ss(server_->itemText(index));
    store->get_value(kNodesKey, name, &data);
    const NodeInfo node = split_node(name, data);
    login_->setText(qs(node.login));
    password_->setText(qs(node.password));
    register_->setEnabled(false);
    remove_->setEnabled(true);
    modify_->setEnabled(true);
}

void CServerNodesDlg::on_register() {
    auto store = open_console_store(this);
    if (!store) return;
    ConsoleMessage msg;
    const NodeInfo node{ss(server_->currentText()), ss(login_->text()), ss(password_->text())};
    if (register_node(*store, node, &msg) != 0) {
        return console_tell(this, qs(msg.caption), qs(msg.text));
    }
    server_->addItem(qs(trimmed(node.server)));
}

void CServerNodesDlg::on_modify() {
    auto store = open_console_store(this);
    if (!store) return;
    ConsoleMessage msg;
    const NodeInfo node{ss(server_->currentText()), ss(login_->text()), ss(password_->text())};
    if (modify_node(*store, node, &msg) != 0) {
        console_tell(this, qs(msg.caption), qs(msg.text));
    }
}

void CServerNodesDlg::on_remove() {
    const std::string name = ss(server_->currentText());
    if (!console_ask(this, kServerCaption, qs(format_text("Remove server %s", name)))) return;
    auto store = open_console_store(this);
    if (!store) return;
    ConsoleMessage msg;
    if (remove_node(*store, name, &msg) != 0) console_tell(this, qs(msg.caption), qs(msg.text));
}

}  // namespace vnx::console
