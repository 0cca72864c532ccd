// Message boxes, or the installed hook.
#include "console/qt/message_hook.h"

#include <QMessageBox>

namespace vnx::console {

namespace {

MessageHook *g_hook = nullptr;

QMessageBox::Icon box_icon(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::kError:
            return QMessageBox::Critical;
        case BoxIcon::kWarning:
            return QMessageBox::Warning;
        case BoxIcon::kInformation:
            return QMessageBox::Information;
        case BoxIcon::kQuestion:
            return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

void set_message_hook(MessageHook *hook) {
    g_hook = hook;
}

void console_tell(QWidget *parent, const QString &caption, const QString &text, BoxIcon icon) {
    if (g_hook != nullptr) return g_hook->tell(parent, caption, text, icon);
    QMessageBox box(box_icon(icon), caption, text, QMessageBox::Ok, parent);
    box.exec();
}

bool console_ask(QWidget *parent, const QString &caption, const QString &text, BoxIcon icon) {
    if (g_hook != nullptr) return g_hook->ask(parent, caption, text, icon);
    QMessageBox box(box_icon(icon), caption, text, QMessageBox::Yes | QMessageBox::No, parent);
    return box.exec() == QMessageBox::Yes;
}

QString qs(const std::string &text) {
    return QString::fromStdString(text);
}

std::string ss(const QString &text) {
    return text.toStdString();
}

}  // namespace vnx::console
