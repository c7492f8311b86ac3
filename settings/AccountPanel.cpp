// Placeholder until the account panel lands.
#include "settings/AccountPanel.hpp"

namespace galvoria::settings {
std::vector<co::GroupPtr> accountPanel() { return {}; }
bool didUpdateAccountValue(const co::Value&, const std::string&) { return true; }
bool handleAccountEvent(const Network&, std::uint64_t, const co::ItemPtr&, co::ErrorOut, const co::SettingsCallback&) {
    return true;
}
}  // namespace galvoria::settings
