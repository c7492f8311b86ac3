#pragma once
// The plugin-wide account panel: log in and out.

#include <cstdint>
#include <string>
#include <vector>

#include "framework/PluginProtocols.hpp"
#include "service/Network.hpp"
#include "vocabulary/Preferences.hpp"

namespace galvoria::settings {

// The login form, or the logged-in line with "Logout", as the stored token says.
std::vector<co::GroupPtr> accountPanel(const Preferences& preferences);
// Stores text typed into one of the form's two fields; anything else is logged and left alone.
bool didUpdateAccountValue(Preferences& preferences, const co::Value& value, const std::string& setting);
// "Login" exchanges the stored address and password for a token through `network`; "Logout"
// forgets the token.
bool handleAccountEvent(const Network& network, Preferences& preferences, std::uint64_t event, const co::ItemPtr& item,
                        co::ErrorOut error, const co::SettingsCallback& callback);

}  // namespace galvoria::settings
