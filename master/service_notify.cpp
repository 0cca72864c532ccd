#include "master/service_notify.h"

#include <atomic>

namespace vnx {

namespace {
std::atomic<ServiceNotifier> g_notifier{nullptr};
}  // namespace

void set_service_notifier(ServiceNotifier notifier) {
    g_notifier.store(notifier);
}

void service_notify(const char *state) {
    if (ServiceNotifier n = g_notifier.load(); n != nullptr) n(state);
}

}  // namespace vnx
