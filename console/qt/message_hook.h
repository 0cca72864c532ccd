// How the console's widgets show message boxes and ask Yes/No questions.
//
// Every box of the console goes through console_tell and console_ask, which
// show a QMessageBox by default. Tests install their own hook to read the
// texts and answer the questions without a modal loop. Console thread only.
#pragma once

#include <QString>

class QWidget;

namespace vnx::console {

enum class BoxIcon { kError, kWarning, kInformation, kQuestion };

class MessageHook {
  public:
    virtual ~MessageHook() = default;
    virtual void tell(QWidget *parent, const QString &caption, const QString &text,
                      BoxIcon icon) = 0;
    // True for Yes.
    virtual bool ask(QWidget *parent, const QString &caption, const QString &text,
                     BoxIcon icon) = 0;
};

// Installs `hook` (null: the message boxes again); the caller keeps it alive.
void set_message_hook(MessageHook *hook);

void console_tell(QWidget *parent, const QString &caption, const QString &text,
                  BoxIcon icon = BoxIcon::kError);
bool console_ask(QWidget *parent, const QString &caption, const QString &text,
                 BoxIcon icon = BoxIcon::kQuestion);

// std::string (UTF-8) to QString and back.
QString qs(const std::string &text);
std::string ss(const QString &text);

}  // namespace vnx::console
