// Starting and ending the console in the master: whether a Qt platform can
// start here at all, the start-up sequence (frame, notification icon, the
// port-server thread, the first activity window, the show state), and the
// two ways other threads reach it: quitting, and fatal start-up messages.
#pragma once

#include <functional>
#include <string>

namespace vnx::console {

struct ConsoleStart {
    bool minimized = false;                   // the command line was "/MINIMIZED"
    std::function<void()> start_port_server;  // starts the port-server thread
    std::function<int()> live_sessions;
    std::function<void()> stop_server;
};

// True when the console can start: a display is named (DISPLAY,
// WAYLAND_DISPLAY or QT_QPA_PLATFORM) and a probe process can create the Qt
// application. Otherwise false with the reason. Call before any thread
// starts (it forks).
bool console_available(int argc, char **argv, std::string *why);

// Runs the console until it quits; the application's exit code.
int run_console(int argc, char **argv, const ConsoleStart &start);

// Asks the running console to quit (any thread; nothing when none runs).
void console_quit();

// A fatal start-up error on stderr and, when a console runs on a visible
// display, as a message box on the console's thread (any thread; blocks
// until the box is closed).
// Icons as vnx::report_fatal's: 0 error, 1 warning.
void console_report_fatal(const char *caption, const char *text, int icon);

}  // namespace vnx::console
