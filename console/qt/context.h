// What the console's widgets reach outside themselves: the live-session
// count and the server stop (the port-server thread's, in the master), and
// the configuration store. Tests replace the two functions.
#pragma once

#include <functional>
#include <memory>

#include "support/config_store.h"

class QWidget;

namespace vnx::console {

struct ConsoleContext {
    // The live-session count (vnx::live_sessions in the master).
    std::function<int()> live_sessions;
    // Asks the port server to end its gateways and return (the master then
    // quits the console). Null: nothing to stop.
    std::function<void()> stop_server;
};
ConsoleContext &console_context();

// The store at $VNX_REGISTRY; null after an error box when it cannot open.
std::unique_ptr<ConfigStore> open_console_store(QWidget *parent);

}  // namespace vnx::console
