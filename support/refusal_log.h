// When a refusal was last logged for each client address, so that a flood
// fills a log with one line a minute per address, not one per connection.
// The port server keeps one for its base port and the gateway ports; a
// gateway started by hand keeps its own. Bounded: beyond kMaxAddresses
// remembered addresses, refusals of new ones go unlogged until the oldest
// are a minute old.
#pragma once

#include <algorithm>
#include <chrono>
#include <map>

#include "support/address_rules.h"

namespace vnx {

class RefusalLog {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kInterval = std::chrono::seconds(60);
    static constexpr size_t kMaxAddresses = 4096;

    // True when a refusal of `client` is to be logged now.
    bool due(const IpAddress &client, Clock::time_point now) {
        auto it = last_.find(client);
        if (it != last_.end()) {
            if (now - it->second < kInterval) return false;
            it->second = now;
            return true;
        }
        if (last_.size() >= kMaxAddresses)
            std::erase_if(last_, [now](const auto &e) { return now - e.second >= kInterval; });
        if (last_.size() >= kMaxAddresses) return false;
        last_.emplace(client, now);
        return true;
    }

  private:
    std::map<IpAddress, Clock::time_point> last_;
};

}  // namespace vnx
